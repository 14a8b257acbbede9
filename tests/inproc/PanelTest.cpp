// Option panels: layout, the panel service dialogue of open, the interface
// activation and its callback, and destruction.
#include <string>
#include <vector>

#include "panels/OptionPanel.h"
#include "panels/PanelControl.h"
#include "tests/inproc/HeapInUse.h"
#include "tests/inproc/InProcess.h"

using inproc::ProbeFilter;
using Texts = std::vector<std::string>;
using velorastin::OptionPanel;

namespace {

// Notes each call in the host's log, so that control calls and panel service
// calls can be checked in one order.
class RecordingControl : public velorastin::PanelControl {
public:
    RecordingControl(refhost::CallLog& log, int id, int32_t w, int32_t h) : log_(log), id_(id), w_(w), h_(h) {}
    ~RecordingControl() override { note("delete", {}); }
    void create() override { note("create", {}); }
    void place(int32_t x, int32_t y, int32_t w, int32_t h) override { note("place", {x, y, w, h}); }
    void accept() override { note("accept", {}); }
    void notify(int32_t value) override { note("notify", {value}); }
    int32_t width() override {
        note("width", {});
        return w_;
    }
    int32_t height() override {
        note("height", {});
        return h_;
    }

private:
    void note(const std::string& what, std::vector<int32_t> values) {
        std::vector<std::string> args{std::to_string(id_)};
        for (int32_t v : values) args.push_back(std::to_string(v));
        log_.record("control." + what, std::move(args));
    }
    refhost::CallLog& log_;
    int id_;
    int32_t w_, h_;
};

void* unusedLookup(const char*, int32_t) { return nullptr; }

} // namespace

class Panels : public inproc::InProcess {
protected:
    // Widths 100, 250, 80 and heights 20, 30, 10 unless told otherwise.
    OptionPanel* panelWith(std::vector<std::pair<int32_t, int32_t>> sizes = {{100, 20}, {250, 30}, {80, 10}},
                           int firstId = 0) {
        auto* panel = new OptionPanel;
        panel->panelService = hostEmu.panelService();
        for (const auto& [w, h] : sizes) panel->addControl(new RecordingControl(hostEmu.log, firstId++, w, h));
        return panel;
    }
    Texts logTexts() const { return hostEmu.log.texts(); }
};

TEST_F(Panels, LayoutStacksControlsAndRefreshNotifiesThem) {
    OptionPanel empty;
    empty.layout();
    EXPECT_TRUE(empty.width == 16 && empty.height == 40);
    OptionPanel* panel = panelWith();
    panel->layout();
    EXPECT_TRUE(panel->width == 266 && panel->height == 100);
    EXPECT_EQ(logTexts(), (Texts{"control.width(0)", "control.width(1)", "control.width(2)",
                                 "control.height(0)", "control.height(1)", "control.height(2)",
                                 "control.height(0)", "control.place(0, 0, 0, 266, 20)",
                                 "control.height(1)", "control.place(1, 0, 20, 266, 30)",
                                 "control.height(2)", "control.place(2, 0, 50, 266, 10)"}));
    hostEmu.log.clear();
    panel->refreshControls();
    EXPECT_EQ(logTexts(), (Texts{"control.notify(0, 3)", "control.notify(1, 3)", "control.notify(2, 3)"}));
    EXPECT_EQ(panel->notifyAll(99, 5), 3);
    delete panel;
}

TEST_F(Panels, OpenRunsThePanelAndAcceptsOnlyWhenAccepted) {
    OptionPanel* panel = panelWith();
    panel->layout();
    int titleWord = 0;
    panel->title = &titleWord;
    const std::string title = refhost::formatArg(static_cast<const void*>(&titleWord));
    const std::string service = refhost::formatArg(static_cast<const void*>(hostEmu.panelService()));
    for (int32_t runResult : {1, 0}) {
        hostEmu.log.clear();
        hostEmu.panel.runResult = runResult;
        ASSERT_EQ(panel->open(), 0);
        const std::string h = refhost::formatArg(static_cast<const void*>(panel->panelHandle));
        Texts expected = {"panel.create(" + title + ", " + service + ")", "control.create(0)", "control.create(1)",
                          "control.create(2)", "panel.set(" + h + ", 2, 266)", "panel.set(" + h + ", 3, 100)",
                          "panel.set(" + h + ", 7, callback)", "panel.run(" + h + ", 7)"};
        if (runResult) expected.insert(expected.end(), {"control.accept(0)", "control.accept(1)", "control.accept(2)"});
        expected.push_back("panel.release(" + h + ")");
        EXPECT_EQ(logTexts(), expected) << "run result " << runResult;
    }
    EXPECT_EQ(hostEmu.panel.installedCallback, &velorastin::panelCallback);
    delete panel;
}

TEST_F(Panels, ConfigureGivesSizeAndTitleAndANewPanelOpensAtZero) {
    OptionPanel* panel = panelWith({});
    ASSERT_EQ(panel->open(), 0);
    const Texts sizes = {"2, 0)", "3, 0)"};
    auto setCalls = [&] {
        Texts out;
        for (const refhost::Call& c : hostEmu.log.named("panel.set"))
            if (c.args.at(1) != "7") out.push_back(c.args.at(1) + ", " + c.args.at(2) + ")");
        return out;
    };
    EXPECT_EQ(setCalls(), sizes);
    EXPECT_EQ(hostEmu.log.named("panel.create").at(0).args.at(0), refhost::formatArg(static_cast<const void*>(nullptr)));

    int titleWord = 0;
    panel->configure(300, 120, &titleWord);
    hostEmu.log.clear();
    ASSERT_EQ(panel->open(), 0);
    EXPECT_EQ(setCalls(), (Texts{"2, 300)", "3, 120)"}));
    EXPECT_EQ(hostEmu.log.named("panel.create").at(0).args.at(0),
              refhost::formatArg(static_cast<const void*>(&titleWord)));
    delete panel;
}

TEST_F(Panels, InterfaceActivationOpensTheInstancePanel) {
    // Before any interface activation the callback has no panel to reach.
    EXPECT_EQ(velorastin::panelCallback(1, 2, 3), 0);
    ASSERT_EQ(activateFilter(), 0);
    ProbeFilter* bare = create<ProbeFilter>();
    ProbeFilter* first = create<ProbeFilter>();
    ProbeFilter* second = create<ProbeFilter>();
    ASSERT_TRUE(bare && first && second);

    // Without a panel: init still runs, nothing is opened, the callback finds nothing.
    hostEmu.log.clear();
    EXPECT_EQ(velorastin::interfaceActivation(2, unusedLookup, bare, nullptr), 2);
    EXPECT_EQ(hostEmu.lookups(), inproc::kRequiredLookups);
    EXPECT_EQ(hostEmu.log.calls().size(), inproc::kRequiredLookups.size());
    EXPECT_EQ(velorastin::panelCallback(0, 0, 3), 0);

    first->optionPanel = panelWith();
    second->optionPanel = panelWith({{10, 10}}, 7);
    hostEmu.panel.callCallbackDuringRun = true;
    hostEmu.panel.callbackSecond = 42;
    hostEmu.panel.callbackThird = 9;

    hostEmu.log.clear();
    // The version is not checked and this lookup is not kept.
    EXPECT_EQ(velorastin::interfaceActivation(99, unusedLookup, first, nullptr), 0);
    EXPECT_EQ(velorastin::globalLookup, refhost::Host::lookupFunction());
    EXPECT_EQ(hostEmu.lookups(), inproc::kRequiredLookups);  // init ran first
    EXPECT_EQ(hostEmu.log.named("control.notify").size(), 3u);
    EXPECT_EQ(hostEmu.panel.lastCallbackResult, 3);

    hostEmu.log.clear();
    EXPECT_EQ(velorastin::interfaceActivation(2, unusedLookup, second, nullptr), 0);
    EXPECT_EQ(hostEmu.panel.lastCallbackResult, 1);
    ASSERT_EQ(hostEmu.log.named("control.notify").size(), 1u);
    EXPECT_EQ(hostEmu.log.named("control.notify")[0].text(), "control.notify(7, 9)");
    EXPECT_EQ(velorastin::panelCallback(0, 0, 4), 1);  // still the panel opened last

    // No instance: no panel, and the callback no longer reaches the last one.
    EXPECT_EQ(velorastin::interfaceActivation(2, unusedLookup, nullptr, nullptr), 2);
    EXPECT_EQ(velorastin::panelCallback(0, 0, 4), 0);

    // No panel from the service: no control is touched, nothing is released.
    hostEmu.panel.createSucceeds = false;
    hostEmu.log.clear();
    EXPECT_EQ(velorastin::interfaceActivation(2, unusedLookup, first, nullptr), 2);
    EXPECT_EQ(hostEmu.log.calls().back().name, "panel.create");
    EXPECT_EQ(hostEmu.log.calls().size(), inproc::kRequiredLookups.size() + 1);

    // A panel without the panel service behaves as one the service could not make.
    first->optionPanel->panelService = nullptr;
    EXPECT_EQ(velorastin::interfaceActivation(2, unusedLookup, first, nullptr), 2);
    filterTable.destroy(bare);
    filterTable.destroy(first);
    filterTable.destroy(second);
}

TEST_F(Panels, ManyControlsAreAllKeptInOrder) {
    std::vector<std::pair<int32_t, int32_t>> sizes;
    for (int32_t i = 0; i < 100; ++i) sizes.push_back({i, 1});
    OptionPanel* panel = panelWith(sizes);
    EXPECT_EQ(panel->lastIndex, 99);
    hostEmu.log.clear();
    EXPECT_EQ(panel->notifyAll(0, 5), 100);
    const std::vector<refhost::Call> notified = hostEmu.log.named("control.notify");
    ASSERT_EQ(notified.size(), 100u);
    for (int32_t i = 0; i < 100; ++i) EXPECT_EQ(notified[i].text(), "control.notify(" + std::to_string(i) + ", 5)");
    panel->layout();
    EXPECT_TRUE(panel->width == 99 + 16 && panel->height == 100 + 40);
    delete panel;
}

TEST_F(Panels, DestructionGivesBackEveryControlAndTheirList) {
    INPROC_SKIP_UNLESS_HEAP_COUNTED();
    hostEmu.log.enabled = false;
    const std::vector<std::pair<int32_t, int32_t>> sizes(1000, {1, 1});
    const std::size_t before = inproc::heapInUse();
    delete panelWith(sizes);
    EXPECT_LT(inproc::heapInUse(), before + 1000 * sizeof(void*));  // the list alone holds 1024 pointers
}

TEST_F(Panels, DestructionReleasesThenDeletesLastFirst) {
    ASSERT_EQ(activateFilter(), 0);
    ProbeFilter* probe = create<ProbeFilter>();
    ASSERT_TRUE(probe);
    probe->optionPanel = panelWith();
    probe->optionPanel->attachedService = hostEmu.gradientRecord();
    hostEmu.log.clear();
    filterTable.destroy(probe);
    EXPECT_EQ(logTexts(), (Texts{"gradient.release()", "control.delete(2)", "control.delete(1)", "control.delete(0)"}));
}
