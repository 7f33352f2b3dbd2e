// A GPIO value write and an SMBus byte read made by a separate program
// through the preload library, against the same call made inside the board
// (a khost::Program, as quorvel_bench's BM_GpioValueWrite and
// BM_SmbusReadByte make it). The cost of the preload is the program's
// request over the socket, the board's copies through process_vm_readv/
// writev, and the readiness check after the call.
//   build/bench/quorvel_preload_bench
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include "../tests/support/board.hpp"
#include "file_server.hpp"
#include "protocol.hpp"
#include "run_layer.hpp"

#include <benchmark/benchmark.h>
#include <khost/program.hpp>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace {

constexpr long kCallsPerRun = 200;
constexpr int kRuns = 25;

// The client program, its stdin and stdout as pipes.
class Client {
public:
    Client(const std::string &socket, const char *what)
    {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        std::string preload = "LD_PRELOAD=" + board::preload_library();
        std::string sock = std::string(qpreload::kSocketEnv) + "=" + socket;
        char *envp[] = {preload.data(), sock.data(), nullptr};
        const char *argv[] = {QUORVEL_PRELOAD_BENCH_CLIENT, what, nullptr};
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::execve(argv[0], const_cast<char **>(argv), envp);
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_ = ::fdopen(in[1], "w");
        from_ = ::fdopen(out[0], "r");
    }
    ~Client()
    {
        if (to_)
            std::fclose(to_);
        if (from_)
            std::fclose(from_);
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
    }
    // One run of n calls: its nanoseconds, or -1.
    long long run(long n)
    {
        long long ns = -1;
        if (!to_ || std::fprintf(to_, "%ld\n", n) < 0 || std::fflush(to_) != 0 || std::fscanf(from_, "%lld", &ns) != 1)
            return -1;
        return ns;
    }

private:
    pid_t pid_ = -1;
    FILE *to_ = nullptr;
    FILE *from_ = nullptr;
};

// In-board runs and the client's alternately, best of kRuns each; the
// benchmark's time is the client's best call, board_us the board's, and
// x_board their ratio.
void compare(benchmark::State &state, const std::function<bool()> &in_board, Client &client)
{
    double best_board = 1e18, best_client = 1e18;
    for (auto _ : state) {
        for (int r = 0; r < kRuns; r++) {
            const auto start = std::chrono::steady_clock::now();
            for (long i = 0; i < kCallsPerRun; i++)
                if (!in_board()) {
                    state.SkipWithError("the call failed inside the board");
                    return;
                }
            const double board_ns =
                std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
            const long long client_ns = client.run(kCallsPerRun);
            if (client_ns < 0) {
                state.SkipWithError("the call failed through the preload");
                return;
            }
            best_board = std::min(best_board, board_ns / kCallsPerRun);
            best_client = std::min(best_client, static_cast<double>(client_ns) / kCallsPerRun);
        }
        state.SetIterationTime(best_client / 1e9);
    }
    state.counters["board_us"] = best_board / 1e3;
    state.counters["x_board"] = best_client / best_board;
}

std::string socket_path() { return "/tmp/quorvel-preload-bench-" + std::to_string(::getpid()) + ".sock"; }

void write_file(khost::Program &p, const std::string &path, const std::string &text)
{
    const long fd = p.open(path, 1);
    p.write(static_cast<int>(fd), text.data(), text.size());
    p.close(static_cast<int>(fd));
}

void BM_GpioValueWriteVsPreload(benchmark::State &state)
{
    qtest::Board board({"dev_gpio=0x20"});
    khost::Program program;
    write_file(program, "/sys/class/gpio/export", "205\n");
    write_file(program, "/sys/class/gpio/gpio205/direction", "out\n");
    const int fd = static_cast<int>(program.open("/sys/class/gpio/gpio205/value", 1));
    int level = 0;
    {
        board::FileServer server(socket_path());
        Client client(server.path(), "gpio");
        compare(
            state,
            [&] {
                level ^= 1;
                const char text[2] = {static_cast<char>('0' + level), '\n'};
                return program.write(fd, text, sizeof text) == 2;
            },
            client);
    }
    program.close(fd);
    write_file(program, "/sys/class/gpio/unexport", "205\n");
}
BENCHMARK(BM_GpioValueWriteVsPreload)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(1);

void BM_SmbusReadByteVsPreload(benchmark::State &state)
{
    qtest::Board board({"dev_iic1=1"});
    khost::Program program;
    const int fd = static_cast<int>(program.open("/dev/i2c-0", 2));
    program.ioctl(fd, I2C_SLAVE, 0x48);
    {
        board::FileServer server(socket_path());
        Client client(server.path(), "smbus");
        compare(
            state,
            [&] {
                union i2c_smbus_data data = {};
                struct i2c_smbus_ioctl_data args = {I2C_SMBUS_READ, 0x00, I2C_SMBUS_BYTE_DATA, &data};
                return program.ioctl(fd, I2C_SMBUS, reinterpret_cast<unsigned long>(&args)) == 0 && data.byte == 0x19;
            },
            client);
    }
    program.close(fd);
}
BENCHMARK(BM_SmbusReadByteVsPreload)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(1);

} // namespace
