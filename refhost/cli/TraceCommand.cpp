// `refhost trace`: one scripted host session with one server, and every call
// that crosses the boundary in it, in order: load, activation, create, a time
// step and one evaluate (shaders) or one process of a small image (filters),
// destroy and unload.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "refhost/check/Check.h"
#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/cli/Messages.h"
#include "refhost/cli/Validators.h"
#include "refhost/host/Drivers.h"
#include "refhost/host/EntryCall.h"
#include "refhost/host/ModuleFault.h"
#include "refhost/host/Trace.h"
#include "refhost/image/ImageJob.h"
#include "refhost/platform/Platform.h"

namespace refhost {

namespace {

struct TraceOptions {
    std::string module;  // empty: defaultModulePath()
    std::string server;  // empty: the first handler row
    int32_t frame = 12;
    double time = 0.5;
    std::vector<std::string> withheld;
    bool json = false;
};

// A formatted argument as a JSON value: numbers and null as they are, quoted
// texts as strings without their quotes, anything else as a string.
std::string jsonValue(const std::string& arg) {
    if (arg == "null") return arg;
    if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') return jsonText(arg.substr(1, arg.size() - 2));
    char* end = nullptr;
    std::strtod(arg.c_str(), &end);
    const bool number = !arg.empty() && end == arg.c_str() + arg.size() &&
                        arg.find_first_not_of("0123456789+-.e") == std::string::npos;
    return number ? arg : jsonText(arg);
}

void print(const std::vector<Call>& calls, bool json) {
    std::FILE* out = platform::ownOutput();
    if (!json)
        std::fputs("# > the host calls a module entry; < the module calls a host function (inside the entry above)\n", out);
    // Stops at the first line the output does not take; main reports it.
    for (std::size_t i = 0; i < calls.size() && !std::ferror(out); ++i) {
        const Call& c = calls[i];
        if (json) {
            std::string args;
            for (const std::string& a : c.args) args += (args.empty() ? "" : ", ") + jsonValue(a);
            const std::string left = c.settingsLeft.empty() ? "" : ", \"settingsLeft\": " + jsonText(c.settingsLeft);
            platform::print(out,
                            "{\"index\": %zu, \"caller\": \"%s\", \"call\": %s, \"args\": [%s], \"result\": %s%s}\n",
                            i + 1, c.intoModule ? "host" : "module", jsonText(c.name).c_str(), args.c_str(),
                            jsonText(c.result).c_str(), left.c_str());
        } else {
            // An entry that returned with other floating-point settings than the host set says which.
            platform::print(out, "%4zu %s %s%s%s\n", i + 1, c.intoModule ? ">" : "<   ", c.text().c_str(),
                            c.result.empty() ? "" : (" = " + c.result).c_str(),
                            c.settingsLeft.empty() ? "" : ("; left " + c.settingsLeft).c_str());
        }
        // Line by line, so that what was printed stays printed whatever ends the process.
        std::fflush(out);
    }
}

// A 3x2 image with dark, middle and light bytes and a few alphas.
Image traceImage() {
    Image image(3, 2, true);
    const uint8_t bytes[] = {0, 64, 128, 255, 32, 100, 200, 128, 255, 1, 16, 0,
                             8, 64, 192, 255, 254, 3, 100, 64, 128, 128, 128, 255};
    std::copy(std::begin(bytes), std::end(bytes), image.rgba.begin());
    return image;
}

// The scripted session, from loading the module to unloading it. Returns why
// it could not run, or empty; `unusable` says what is wrong with an
// activation that answered 0.
std::string traceSession(Trace& trace, const TraceOptions& options, const std::string& modulePath,
                         std::string& unusable) {
    std::string error;
    std::unique_ptr<Module> module = Module::load(modulePath, error, Module::Unload::Now);
    if (!module) return error;
    const ServerRow* row = nullptr;
    for (const ServerRow& r : module->rows()) {
        const bool handler = r.className == host::kShaderHandlerClass || r.className == host::kImageFilterHandlerClass;
        if (handler && (options.server.empty() || r.serverName == options.server)) {
            row = &r;
            break;
        }
    }
    if (!row)
        return modulePath + ": no shader or image filter server" +
               (options.server.empty() ? std::string() : " named \"" + options.server + "\"");
    trace.returned(trace.entered("startup", {}), formatArg(module->startupResult()));

    // A refused activation is traced like any other answer; one that left
    // entries empty or wrote past the table ends the session before the
    // host calls an entry.
    if (row->className == host::kShaderHandlerClass) {
        ShaderDriver shader(*row);
        shader.trace = &trace;
        if (shader.activate(2) == 0 && (unusable = shader.bindingProblem()).empty()) {
            if (host::Instance instance = shader.create()) {
                shader.newTime(instance, options.frame, options.time);
                host::SampleAccess sample = check::surfaceSample(0x10000001u, 0.5, 0.25, 1.0);
                shader.evaluate(instance, sample);
                shader.destroy(instance);
            }
        }
    } else {
        FilterDriver filter(*row);
        filter.trace = &trace;
        if (filter.activate(2) == 0 && (unusable = filter.bindingProblem()).empty()) {
            if (host::Instance instance = filter.create()) {
                ImageJob job(traceImage(), options.time);
                job.trace = &trace.host.log;
                filter.process(instance, job.access());
                filter.destroy(instance);
            }
        }
    }
    // The module's shutdown entry, then its static objects as the library goes.
    const long shutdown = trace.entered("shutdown", {});
    module.reset();
    trace.returned(shutdown, "");
    return {};
}

int runTrace(const TraceOptions& options) {
    auto fail = [](int status, const std::string& message) {
        platform::print(stderr, "refhost trace: %s\n", message.c_str());
        return status;
    };
    for (const std::string& service : options.withheld) {
        const auto& required = Host::requiredServiceNames();
        const auto& optional = Host::optionalServiceNames();
        if (std::find(required.begin(), required.end(), service) == required.end() &&
            std::find(optional.begin(), optional.end(), service) == optional.end()) {
            std::string known;
            for (const auto* names : {&required, &optional})
                for (const std::string& name : *names) known += (known.empty() ? "\"" : ", \"") + name + "\"";
            return fail(kExitUsage, "--withhold: no service is named \"" + service + "\" (the host's services: " + known + ")");
        }
    }

    std::string pathError;
    const std::string modulePath = commandModulePath(options.module, "--module FILE", pathError);
    if (modulePath.empty()) return fail(kExitFailed, pathError);
    // The trace is refhost's alone, so that a script can parse it: what the
    // module prints goes to standard error.
    platform::setOutputAside();
    Host host(check::checkScene());
    for (const std::string& service : options.withheld) host.withhold(service);
    std::vector<Call> calls;
    std::string unusable;
    std::optional<ModuleFault> crashed;
    std::string entryFault;  // an entry that broke the calling convention
    {
        Trace trace(host);
        std::string error;
        // A crash or a broken calling convention ends the session where it
        // hit: the calls up to it are what the author needs.
        crashed = catchModuleFault([&] {
            try {
                error = traceSession(trace, options, modulePath, unusable);
            } catch (const EntryFault& fault) {
                entryFault = fault.what();
            }
        });
        passOnModuleOutput();
        if (!crashed && entryFault.empty() && !error.empty()) return fail(kExitFailed, error);
        calls = host.log.calls();
    }
    print(calls, options.json);
    if (crashed) endByModuleFault("trace", *crashed, modulePath);
    if (!entryFault.empty())
        return fail(kExitFailed, entryFault + "; 'refhost check " + modulePath + "' names the rules it breaks");
    if (!unusable.empty())
        return fail(kExitFailed, unusable + "; 'refhost check " + modulePath + "' names the rules it breaks");
    return kExitSuccess;
}

} // namespace

CommandLine addTraceCommand(CLI::App& app) {
    auto options = std::make_shared<TraceOptions>();
    CLI::App* command = app.add_subcommand(
        "trace", "Run one scripted host session with one server and print every call across the\n"
                 "boundary, in order: the host's calls of module entries and the module's calls of\n"
                 "host functions, each with its arguments and result. A shader is moved to a frame\n"
                 "and evaluates one sample; an image filter processes a 3x2 image.");
    command->add_option("--module", options->module, "Module file (default: the pluginServer.p built beside refhost)");
    command->add_option("--server", options->server, "Server name (default: the module's first shader or image filter row)");
    command->add_option("--frame", options->frame, "Frame number of the shader's time step")->capture_default_str();
    command->add_option("--time", options->time, "Time of the shader's time step or of the filtered image, in seconds")
        ->capture_default_str()
        ->check(finiteNumber());
    command->add_option("--withhold", options->withheld, "Answer no lookup of this service (may be repeated)")
        ->allow_extra_args(false);
    command->add_flag("--json", options->json, "One JSON object per call and line instead of text");
    return {command, [options] { return runTrace(*options); }};
}

} // namespace refhost
