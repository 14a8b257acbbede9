// `refhost check`: the load check first (it names the rows), then the
// descriptor and table checks, then every check of the module's handler rows.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

#include "refhost/check/Check.h"
#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/cli/Validators.h"

namespace refhost {

int runCheck(const CheckOptions& options) {
    using namespace check;
    std::string error;
    if (!options.junit.empty() && !checkWritable(options.junit, error)) {
        std::fprintf(stderr, "refhost check: %s; give --junit a file in a writable folder\n", error.c_str());
        return kExitFailed;
    }
    auto selected = [&](const std::string& name) {
        return options.only.empty() || name.find(options.only) != std::string::npos;
    };
    Report report;
    auto run = [&](const CheckDefinition& entry) {
        if (selected(entry.name)) report.add(entry.name, runIsolated(entry.body, options.timeout));
    };
    auto skipAll = [&](const std::string& name, const std::string& why) {
        if (selected(name)) report.add(name, Outcome::of(Status::Skip, why));
    };

    std::printf("module   %s\n", options.module.c_str());
    // The load check always runs: its reply names the rows the other checks are about.
    const Outcome load = runIsolated(loadCheck(options.module).body, options.timeout);
    const LoadReply loaded = parseLoadReply(load.reply);
    if (selected("load") || load.status != Status::Pass) report.add("load", load);

    // The descriptor and table checks name what the loader refused, once the library opens.
    for (const CheckDefinition& entry : {descriptorCheck(options.module), tableCheck(options.module)}) {
        if (load.reply.empty())
            skipAll(entry.name, "the load check ended without a result (see load)");
        else if (!loaded.opened)
            skipAll(entry.name, "the module does not open: " + loaded.openError);
        else
            run(entry);
    }

    // A load that passed and then crashed at exit still names the rows: their
    // checks run and show the rest.
    if (!load.reportedPass) {
        // A group is reported when --only names it or something inside it.
        for (const std::string& group : dependentGroups())
            if (selected(group) || options.only.rfind(group, 0) == 0)
                report.add(group, Outcome::of(Status::Skip, "the module could not be loaded (see load)"));
    } else {
        ModuleFacts facts{options.module, options.seed, loaded.rows};
        for (auto checks : {activationChecks, lifecycleChecks, serviceChecks, shaderChecks, filterChecks})
            for (const CheckDefinition& entry : checks(facts)) run(entry);
    }

    report.printSummary(options.seed);
    if (!options.junit.empty() && !report.writeJUnit(options.junit, options.module, options.seed, error)) {
        std::fprintf(stderr, "refhost check: %s; the checks ran, the report was not written\n", error.c_str());
        return kExitFailed;
    }
    return report.allPassed() ? 0 : 1;
}

CommandLine addCheckCommand(CLI::App& app) {
    auto options = std::make_shared<CheckOptions>();
    CLI::App* command = app.add_subcommand(
        "check", "Validate a module: every check runs in a child process with a time limit.\n"
                 "Exit 0 only when nothing failed, crashed or timed out.");
    command->add_option("FILE", options->module, "Module file")->required();
    command->add_option("--seed", options->seed, "Seed of the randomised checks")->capture_default_str();
    command->add_option("--only", options->only, "Run only the checks whose name contains this text");
    command->add_option("--timeout", options->timeout, "Seconds each check may take")
        ->check(positiveNumber())->capture_default_str();
    command->add_option("--junit", options->junit, "Write a JUnit XML report to this file");
    return {command, [options] { return runCheck(*options); }};
}

} // namespace refhost
