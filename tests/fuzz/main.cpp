// quorvel-fuzz: the device surface fuzzer as a program, for the CI's smoke
// run and for long runs (./quorvel fuzz). Exits 1 when a rule was broken.
// With --system it makes real system calls on the running system, as a
// program on the board (quorvel-board [--kernel qemu] -- quorvel-fuzz --system).
#include "fuzz.hpp"
#include "surface.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>

int main(int argc, char **argv)
{
    qfuzz::Options o;
    double minutes = 0;
    bool system = false, list = false;
    CLI::App app{"Fuzzes the module's device surface on the kernel layer, or with --system on the running system."};
    app.add_option("--start", o.start, "start value of the call sequences (a run repeats for the same value)");
    app.add_option("--threads", o.threads, "programs calling at once")->check(CLI::Range(1, 16));
    app.add_option("--seconds", o.seconds, "how long to run");
    app.add_option("--minutes", minutes, "how long to run, in minutes");
    app.add_option("--rounds", o.max_rounds, "stop after this many rounds");
    app.add_option("--hz", o.hz, "the kernel layer's tick rate (every bounded wait is so many ticks)")
        ->check(CLI::Range(100, 10000));
    app.add_option("--calls-per-round", o.ops_per_round, "calls of each program per round");
    app.add_flag("--races", o.races, "unbind and bind while the others call in");
    app.add_flag("-v,--verbose", o.verbose, "print the known cases as they are found");
    app.add_flag("--trace", o.trace, "print each call as it begins (\"call THREAD: WHAT\")");
    app.add_flag("--system", system, "real system calls on the module's /dev and /sys files (run on the board)");
    app.add_flag("--list", list, "with --system: print the files it would call, and stop");
    CLI11_PARSE(app, argc, argv);
    if (minutes > 0)
        o.seconds = minutes * 60;
    o.progress = [](const std::string &line) {
        std::fprintf(stderr, "fuzz: %s\n", line.c_str());
        std::fflush(stderr);
    };

    if (system && list) {
        const qfuzz::Surface s = qfuzz::discover_module(qfuzz::SysProgram("list"));
        for (const auto &n : s.nodes)
            std::printf("node %s\n", n.c_str());
        for (const auto &f : s.readable)
            std::printf("read %s\n", f.c_str());
        for (const auto &f : s.writable)
            std::printf("write %s\n", f.c_str());
        for (const auto &d : s.devices)
            std::printf("device %s\n", d.c_str());
        return 0;
    }
    const qfuzz::Result r = system ? qfuzz::run_system(o) : qfuzz::run(o);
    std::printf("fuzz: start %llu, %llu rounds, %llu calls in %.0f s (%.0f calls/s)\n",
                static_cast<unsigned long long>(o.start), static_cast<unsigned long long>(r.rounds),
                static_cast<unsigned long long>(r.calls), r.seconds, static_cast<double>(r.calls) / r.seconds);
    for (const auto &k : r.known)
        std::printf("known   %s: %s\n", k.rule.c_str(), k.what.c_str());
    for (const auto &f : r.findings)
        std::printf("FINDING %s: %s\n", f.rule.c_str(), f.what.c_str());
    return r.findings.empty() ? 0 : 1;
}
