// Hosts that lack some of their global services. Every module: nothing
// crashes, a shader's init and newTime return null or a readable text, an
// image filter still filters. The servers this host knows also report the
// first missing service of their eight lookups by its documented message, and
// null once every service is back.
#include <optional>
#include <set>

#include "refhost/check/Check.h"

namespace refhost::check {

namespace {

using Withheld = std::set<std::string>;

// What a known shader's init and newTime return: the message of the first
// withheld service in the order of its lookups, or null.
std::string expectedMessage(const Withheld& withheld) {
    for (const host::RequiredService& s : host::kRequiredServices)
        if (withheld.count(s.name)) return quoted(s.missingMessage);
    return "null";
}

std::string describeWithheld(const Withheld& withheld) {
    if (withheld.empty()) return "no service withheld";
    std::string text;
    for (const host::RequiredService& s : host::kRequiredServices)
        if (withheld.count(s.name)) text += (text.empty() ? "" : ", ") + quoted(s.name);
    return text + " withheld";
}

// Every handler row bound once; the runs share them.
class ServiceRuns {
public:
    ServiceRuns(const ModuleFacts& facts) : session_(facts), random_(facts.seed) {
        for (const RowFacts& r : facts.handlerRows()) {
            if (r.isShader()) {
                shaders_.push_back(std::make_unique<ShaderDriver>(session_.row(r)));
                bind(*shaders_.back(), r.label);
                knownShaders_.push_back(r.known());
            } else {
                filters_.push_back(std::make_unique<FilterDriver>(session_.row(r)));
                bind(*filters_.back(), r.label);
            }
        }
    }

    std::mt19937& random() { return random_; }

    // One run: filters first, so that the module's services are the ones a
    // creation under these conditions left behind.
    void run(const Withheld& withheld, const std::string& runName) {
        const std::string what = runName + " (" + describeWithheld(withheld) + ")";
        withhold(withheld);
        for (auto& filter : filters_) {
            const std::string label = what + ", \"" + filter->row.serverName + "\"";
            stage(label + ": create");
            host::Instance instance = createInstance(*filter, label);
            processFully(*filter, instance, randomImage(5, 3, random_), label);
            filter->destroy(instance);
        }
        for (std::size_t i = 0; i < shaders_.size(); ++i) {
            ShaderDriver& shader = *shaders_[i];
            const bool known = knownShaders_[i];
            const std::string label = what + ", \"" + shader.row.serverName + "\"";
            stage(label + ": create");
            host::Instance instance = createInstance(shader, label);
            expectMessages(shader, instance, known ? std::optional(expectedMessage(withheld)) : std::nullopt, label);
            withhold({});
            expectMessages(shader, instance, known ? std::optional<std::string>("null") : std::nullopt,
                           label + ", then every service back");
            withhold(withheld);
            shader.destroy(instance);
        }
        withhold({});
    }

private:
    void withhold(const Withheld& withheld) {
        for (const host::RequiredService& s : host::kRequiredServices) {
            if (withheld.count(s.name))
                session_.host.withhold(s.name);
            else
                session_.host.provide(s.name);
        }
    }

    // The init and newTime entries' results: `expected` exactly, or without
    // it null or any readable text.
    void expectMessages(ShaderDriver& shader, host::Instance instance, const std::optional<std::string>& expected,
                        const std::string& what) {
        auto expect = [&](const std::string& entry, const char* message) {
            const std::string seen = messageText(message);
            if (expected ? seen != *expected : !readableMessage(message))
                fail(what + ": " + entry, expected ? *expected : "null or a readable text", seen);
        };
        stage(what + ": init entry");
        expect("init entry", shader.init(instance));
        stage(what + ": newTime entry");
        ++frame_;
        expect("newTime entry", shader.newTime(instance, frame_, frame_ / 30.0));
    }

    Session session_;
    std::mt19937 random_;
    std::vector<std::unique_ptr<ShaderDriver>> shaders_;
    std::vector<bool> knownShaders_;
    std::vector<std::unique_ptr<FilterDriver>> filters_;
    int32_t frame_ = 0;
};

} // namespace

std::vector<CheckDefinition> serviceChecks(const ModuleFacts& facts) {
    std::vector<CheckDefinition> checks;
    if (facts.handlerRows().empty()) return checks;
    for (const host::RequiredService& s : host::kRequiredServices) {
        const std::string service = s.name;
        checks.push_back({"services/without/" + service,
                          [facts, service](std::string&) { ServiceRuns(facts).run({service}, "alone"); }});
    }
    checks.push_back({"services/without-all", [facts](std::string&) {
                          Withheld all;
                          for (const host::RequiredService& s : host::kRequiredServices) all.insert(s.name);
                          ServiceRuns(facts).run(all, "all");
                      }});
    checks.push_back({"services/random", [facts](std::string&) {
                          ServiceRuns runs(facts);
                          std::bernoulli_distribution missing(0.1);
                          for (int i = 1; i <= 1000; ++i) {
                              Withheld withheld;
                              for (const host::RequiredService& s : host::kRequiredServices)
                                  if (missing(runs.random())) withheld.insert(s.name);
                              runs.run(withheld, "run " + std::to_string(i));
                          }
                      }, true});
    return checks;
}

} // namespace refhost::check
