// quorvel-fuzz: the device surface fuzzer as a program, for the CI's smoke
// run and for long runs (./quorvel fuzz). Exits 1 when a rule was broken.
#include "fuzz.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>

int main(int argc, char **argv)
{
    qfuzz::Options o;
    double minutes = 0;
    CLI::App app{"Fuzzes the module's device surface on the kernel layer."};
    app.add_option("--start", o.start, "start value of the call sequences (a run repeats for the same value)");
    app.add_option("--threads", o.threads, "programs calling at once")->check(CLI::Range(1, 16));
    app.add_option("--seconds", o.seconds, "how long to run");
    app.add_option("--minutes", minutes, "how long to run, in minutes");
    app.add_option("--rounds", o.max_rounds, "stop after this many rounds");
    app.add_option("--calls-per-round", o.ops_per_round, "calls of each program per round");
    app.add_flag("--races", o.races, "unbind and bind while the others call in");
    app.add_flag("-v,--verbose", o.verbose, "print the known cases as they are found");
    CLI11_PARSE(app, argc, argv);
    if (minutes > 0)
        o.seconds = minutes * 60;
    o.progress = [](const std::string &line) {
        std::fprintf(stderr, "fuzz: %s\n", line.c_str());
        std::fflush(stderr);
    };

    const qfuzz::Result r = qfuzz::run(o);
    std::printf("fuzz: start %llu, %llu rounds, %llu calls in %.0f s (%.0f calls/s)\n",
                static_cast<unsigned long long>(o.start), static_cast<unsigned long long>(r.rounds),
                static_cast<unsigned long long>(r.calls), r.seconds, static_cast<double>(r.calls) / r.seconds);
    for (const auto &k : r.known)
        std::printf("known   %s: %s\n", k.rule.c_str(), k.what.c_str());
    for (const auto &f : r.findings)
        std::printf("FINDING %s: %s\n", f.rule.c_str(), f.what.c_str());
    return r.findings.empty() ? 0 : 1;
}
