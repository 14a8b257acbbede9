// `refhost check`: the load check first (it names the rows), then the
// descriptor and table checks, then every check of the module's handler rows.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "refhost/check/Check.h"
#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/cli/Messages.h"
#include "refhost/cli/Validators.h"
#include "refhost/image/OutputFile.h"
#include "refhost/image/Progress.h"
#include "refhost/platform/Platform.h"

namespace refhost {

namespace {

using namespace check;

// A pattern with a wildcard matches whole names; a plain text matches every
// name that contains it, so that "filter/" picks a group.
bool patternMatches(const std::string& pattern, const std::string& name) {
    if (pattern.find_first_of("*?[") != std::string::npos) return platform::nameMatches(pattern, name);
    return name.find(pattern) != std::string::npos;
}

// Every check of the rows, in the order they run.
std::vector<CheckDefinition> rowChecks(const ModuleFacts& facts) {
    std::vector<CheckDefinition> all;
    for (auto checks : {activationChecks, lifecycleChecks, memoryChecks, serviceChecks, shaderChecks, filterChecks,
                        floatingPointChecks, sequenceChecks})
        for (CheckDefinition& entry : checks(facts)) all.push_back(std::move(entry));
    return all;
}

struct Listed {
    std::string name;
    bool randomised;
};

// One line a check: its name and its rule in one line; with --rules each of
// its rules under it, with whom it binds.
void printList(const std::vector<Listed>& checks, bool rules) {
    std::size_t width = 0;
    for (const Listed& check : checks) width = std::max(width, printable(check.name).size());
    for (const Listed& check : checks) {
        const CheckKind* kind = kindOf(check.name);
        platform::print(stdout, "%-*s   %s%s\n", static_cast<int>(width), printable(check.name).c_str(),
                        kind ? kind->summary : "(no rule declared)", check.randomised ? " (randomised)" : "");
        if (!rules || !kind) continue;
        for (const Rule& rule : kind->rules) std::printf("    %s: %s\n", bindsWord(rule.binds).c_str(), rule.text);
    }
}

// The list for tools: name, area, randomised and rule of every check.
bool writeListJson(const std::string& path, const std::vector<Listed>& checks, std::string& error) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Listed& check : checks) {
        const CheckKind* kind = kindOf(check.name);
        list.push_back({{"name", check.name},
                        {"area", kind ? kind->area : ""},
                        {"randomised", check.randomised},
                        {"rule", kind ? kind->summary : ""}});
    }
    const std::string text = list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    if (path != "-") return writeFileAtomically(path, "JSON list", text, error);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return standardOutputWritten();
}

// "PATTERN=REASON" split at its first '='; false when either part is empty.
bool parseExclusion(const std::string& text, std::pair<std::string, std::string>& exclusion) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) return false;
    exclusion = {text.substr(0, equals), text.substr(equals + 1)};
    return true;
}

std::string seedSuffix(uint32_t seed) { return " [seed " + std::to_string(seed) + "]"; }

std::string hexText(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 0xF];
    }
    return hex;
}

std::string fromHex(const std::string& hex) {
    auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(value(hex[i]) << 4 | value(hex[i + 1]));
    return bytes;
}

// The child's side: the check named `options.child`, rebuilt as the parent
// built it from the load check's reply in hex on standard input, runs here and
// its result goes to the parent.
int runChildCheck(const CheckOptions& options) {
    const std::string& name = options.child;
    if (name == "load") runAsChild(loadCheck(options.module).body);
    if (name == "descriptor") runAsChild(descriptorCheck(options.module).body);
    if (name == "table") runAsChild(tableCheck(options.module).body);
    std::string hex;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) hex.append(buffer, n);
    const ModuleFacts facts{options.module, options.seed, parseLoadReply(fromHex(hex)).rows};
    for (const CheckDefinition& entry : rowChecks(facts))
        if (entry.name == name) runAsChild(entry.body);
    platform::print(stderr, "refhost check: %s has no check named '%s'\n", options.module.c_str(), name.c_str());
    return kExitFailed;
}

} // namespace

int runCheck(const CheckOptions& options) {
    if (!options.child.empty()) return runChildCheck(options);
    std::string error;
    const std::string modulePath = commandModulePath(options.module, "FILE", error);
    if (modulePath.empty()) {
        platform::print(stderr, "refhost check: %s\n", error.c_str());
        return kExitFailed;
    }
    std::vector<std::pair<std::string, std::string>> exclusions;
    for (const std::string& text : options.exclude) {
        if (!parseExclusion(text, exclusions.emplace_back()))
            return usageError("check", "--exclude takes PATTERN=REASON, both non-empty, not '" + text + "'");
    }
    const bool jsonToOutput = (options.list || options.rules) && options.json == "-";
    for (const std::string* report : {&options.junit, &options.json}) {
        if (!report->empty() && !(report == &options.json && jsonToOutput) && !checkWritable(*report, error)) {
            platform::print(stderr, "refhost check: %s; give %s a file in a writable folder\n", error.c_str(),
                            report == &options.junit ? "--junit" : "--json");
            return kExitFailed;
        }
    }
    auto selected = [&](const std::string& name) {
        if (options.only.empty()) return true;
        for (const std::string& pattern : options.only)
            if (patternMatches(pattern, name)) return true;
        return false;
    };
    // The reason a check is left out, or null when it runs.
    auto excluded = [&](const std::string& name) -> const std::string* {
        for (const auto& [pattern, reason] : exclusions)
            if (patternMatches(pattern, name)) return &reason;
        return nullptr;
    };
    // A group that cannot run is reported when --only names it or something inside it.
    auto groupSelected = [&](const std::string& group) {
        if (selected(group)) return true;
        for (const std::string& pattern : options.only)
            if (pattern.rfind(group, 0) == 0) return true;
        return false;
    };
    // A child started anew rebuilds the check from its name, the seed, and
    // the rows the load check named (on its standard input: a module may have
    // more rows than a command line has room for).
    std::string loadReply;
    // Ctrl-C, SIGTERM or SIGHUP ends the child that runs and starts no other.
    // Not with --no-fork: a check that hangs in this process would never
    // look at the request.
    std::optional<InterruptGuard> interruptGuard;
    if (!options.noFork) interruptGuard.emplace();
    std::string stoppedDuring;
    // Once a check has found that the module's static destructors do not
    // return, the others are not held up by them: a child that has reported
    // is ended after a short grace, and its result stands.
    constexpr double kExitGraceSeconds = 0.5;
    bool unloadHangs = false;
    auto execute = [&](const CheckDefinition& entry, uint32_t seed) {
        if (options.noFork) return runInProcess(entry.body);
        const ChildCommand child{{"check", "--child", entry.name, "--seed", std::to_string(seed), "--", modulePath},
                                 hexText(loadReply)};
        Outcome outcome = runIsolated(entry.body, child, options.timeout, unloadHangs ? kExitGraceSeconds : -1.0);
        if (outcome.stopped && stoppedDuring.empty()) stoppedDuring = entry.name;
        unloadHangs = unloadHangs || outcome.exitHung;
        return outcome;
    };
    auto run = [&](const CheckDefinition& entry, uint32_t seed) {
        if (entry.unloads && unloadHangs)
            return Outcome::of(Status::Skip, "the module's static destructors do not return, so it cannot be unloaded");
        return execute(entry, seed);
    };
    Report report(options.verbose, options.strict);
    // An interrupted run shows the checks that finished and where it stopped,
    // and writes no report file: a part of a run would pass for the whole.
    auto interrupted = [&] {
        report.printInterrupted(options.seed, stoppedDuring);
        if (!options.junit.empty() || !options.json.empty())
            std::fprintf(stderr, "refhost check: interrupted; no report was written\n");
        return interruptStatus();
    };

    // The load check always runs: its reply names the rows the other checks are about.
    const Outcome load = execute(loadCheck(modulePath), options.seed);
    if (load.stopped) {
        if (options.list) return interruptStatus();
        platform::print(stdout, "module   %s\n", modulePath.c_str());
        return interrupted();
    }
    loadReply = load.reply;
    const LoadReply loaded = parseLoadReply(load.reply);
    ModuleFacts facts{modulePath, options.seed, loaded.rows};
    // The rows are known once the module loaded and its table was read, also
    // when the load check then failed (loading changed what a module may not).
    const bool rowsKnown = load.reportedPass || !loaded.rows.empty();

    if (options.list || options.rules) {
        std::vector<Listed> listed;
        for (const char* name : {"load", "descriptor", "table"})
            if (selected(name)) listed.push_back({name, false});
        if (!rowsKnown) {
            printList(listed, options.rules);
            platform::print(stderr,
                            "refhost check: %s: the module does not load (%s), so its rows' checks are unknown\n",
                            modulePath.c_str(), load.detail.c_str());
            return kExitFailed;
        }
        for (const CheckDefinition& entry : rowChecks(facts))
            if (selected(entry.name)) listed.push_back({entry.name, entry.randomised});
        if (!jsonToOutput) printList(listed, options.rules);
        if (!options.json.empty() && !writeListJson(options.json, listed, error)) {
            platform::print(stderr, "refhost check: %s\n", error.c_str());
            return kExitFailed;
        }
        return kExitSuccess;
    }

    // A pattern that picks nothing is a slip on the command line, not a run
    // with nothing to report: a CI job would otherwise pass on zero checks.
    std::vector<std::pair<std::string, std::string>> patterns;
    for (const std::string& pattern : options.only) patterns.emplace_back("--only", pattern);
    for (const auto& exclusion : exclusions) patterns.emplace_back("--exclude", exclusion.first);
    for (const auto& [option, pattern] : patterns) {
        bool matched = false;
        for (const char* name : {"load", "descriptor", "table"}) matched = matched || patternMatches(pattern, name);
        if (rowsKnown)
            for (const CheckDefinition& entry : rowChecks(facts)) matched = matched || patternMatches(pattern, entry.name);
        else
            for (const std::string& group : dependentGroups())
                matched = matched || patternMatches(pattern, group) || pattern.rfind(group, 0) == 0;
        if (!matched)
            return usageError("check", option + " '" + pattern + "' matches no check of this module; --list names them");
    }

    auto skipAll = [&](const std::string& name, const std::string& why) {
        if (selected(name)) report.add(name, Outcome::of(Status::Skip, why));
    };
    platform::print(stdout, "module   %s\n", modulePath.c_str());
    auto excludedSkip = [&](const std::string* reason) { return Outcome::of(Status::Skip, "excluded: " + *reason); };
    // The load check runs whatever is excluded; only a load that passed is left out of the report.
    if (load.status != Status::Pass)
        report.add("load", load);
    else if (const std::string* reason = excluded("load"); selected("load"))
        report.add("load", reason ? excludedSkip(reason) : load);

    // The descriptor and table checks name what the loader refused, once the library opens.
    for (const CheckDefinition& entry : {descriptorCheck(modulePath), tableCheck(modulePath)}) {
        if (load.reply.empty())
            skipAll(entry.name, "the load check ended without a result (see load)");
        else if (!loaded.opened)
            skipAll(entry.name, "the module does not open: " + loaded.openError);
        else if (const std::string* reason = excluded(entry.name); selected(entry.name))
            report.add(entry.name, reason ? excludedSkip(reason) : execute(entry, options.seed));
    }

    // A load that passed and then crashed at exit, or failed once the table
    // was read, still names the rows: their checks run and show the rest.
    if (!rowsKnown) {
        for (const std::string& group : dependentGroups())
            if (groupSelected(group)) report.add(group, Outcome::of(Status::Skip, "the module could not be loaded (see load)"));
    } else {
        // The same checks for each seed; a randomised one runs once per seed.
        std::vector<std::vector<CheckDefinition>> bySeed;
        for (int32_t i = 0; i < options.repeat; ++i) {
            ModuleFacts seeded = facts;
            seeded.seed = options.seed + static_cast<uint32_t>(i);
            bySeed.push_back(rowChecks(seeded));
        }
        for (std::size_t j = 0; j < bySeed[0].size(); ++j) {
            const CheckDefinition& entry = bySeed[0][j];
            if (!selected(entry.name)) continue;
            if (const std::string* reason = excluded(entry.name)) {
                report.add(entry.name, excludedSkip(reason));
                continue;
            }
            if (!entry.randomised || options.repeat == 1) {
                report.add(entry.name, run(entry, options.seed));
                continue;
            }
            for (int32_t i = 0; i < options.repeat; ++i)
                report.add(entry.name + seedSuffix(options.seed + static_cast<uint32_t>(i)),
                           run(bySeed[i][j], options.seed + static_cast<uint32_t>(i)));
        }
    }

    if (interruptRequested()) return interrupted();
    report.printSummary(options.seed);
    for (const auto& [path, write] : {std::pair{&options.junit, &Report::writeJUnit}, std::pair{&options.json, &Report::writeJson}}) {
        if (!path->empty() && !(report.*write)(*path, modulePath, options.seed, error)) {
            platform::print(stderr, "refhost check: %s; the checks ran, the report was not written\n", error.c_str());
            return kExitFailed;
        }
    }
    return report.allPassed() ? kExitSuccess : kExitFailed;
}

CommandLine addCheckCommand(CLI::App& app) {
    auto options = std::make_shared<CheckOptions>();
    CLI::App* command = app.add_subcommand(
        "check", "Validate a module: every check runs in a child process with a time limit.\n"
                 "Statuses PASS, WARN, FAIL, CRASH, TIMEOUT, SKIP. Exit 0 only when nothing\n"
                 "failed, crashed or timed out (and, with --strict, nothing warned). Ctrl-C,\n"
                 "SIGTERM or SIGHUP ends the running check's process and the run, writes no\n"
                 "report file, and exits 130, 143 or 129.");
    command->add_option("FILE", options->module, "Module file (default: the pluginServer.p beside refhost or installed with it)");
    command->add_option("--seed", options->seed, "Seed of the randomised checks")->capture_default_str();
    command->add_option("--only", options->only,
                        "Run only the checks that match this glob pattern (a text without * ? [ matches\n"
                        "every name containing it); may be repeated")
        ->allow_extra_args(false);  // one pattern each time: a FILE after it stays the FILE
    command->add_option("--timeout", options->timeout, "Seconds each check may take")
        ->check(positiveNumber())->capture_default_str();
    command->add_option("--repeat", options->repeat, "Run the randomised checks with seeds SEED .. SEED+N-1")
        ->check(CLI::Range(1, 1000000))->capture_default_str();
    command->add_option("--exclude", options->exclude,
                        "PATTERN=REASON: report the checks that match PATTERN (as for --only) as SKIP with\n"
                        "REASON, and run none of them; may be repeated")
        ->allow_extra_args(false);
    command->add_flag("--list", options->list,
                      "Print every check of the module with its rule in one line, and run none; with\n"
                      "--json FILE (- for standard output) the list as JSON: name, area, randomised, rule");
    command->add_flag("--rules", options->rules,
                      "List the checks as --list does, each with its rules: those of the interface bind\n"
                      "every module, pluginServer.p's own only the servers this host knows");
    command->add_flag("--strict", options->strict, "Warnings fail the run");
    command->add_flag("--verbose", options->verbose,
                      "Print every part of a failure that has many; without it a line names the first\n"
                      "three and counts the rest (the --json and --junit reports always hold them all)");
    command->add_flag("--no-fork", options->noFork,
                      "Run every check in this process, for use under a debugger. Unsafe: a module that\n"
                      "crashes or hangs takes the whole run with it, and no time limit applies");
    command->add_option("--junit", options->junit, "Write a JUnit XML report to this file");
    command->add_option("--json", options->json, "Write a JSON report to this file (with --list, the list)");
    // Not for users: how refhost starts a check's child process where it cannot copy itself.
    command->add_option("--child", options->child)->group("");
    return {command, [options] { return runCheck(*options); }};
}

} // namespace refhost
