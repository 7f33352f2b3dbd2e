#include "qemu_board.hpp"

#include <sys/socket.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <sstream>

#include <fmt/format.h>

#include "coproc/simulator.hpp"
#include "qemu_vm.hpp"
#include "signals.hpp"
#include "vm_channel.hpp"

#ifndef QUORVEL_VM_DIR
#define QUORVEL_VM_DIR ""
#endif

namespace board {

namespace {

using namespace vm;

std::vector<std::string> qemu_argv(const fs::path &vm, const fs::path &console, const fs::path &channel,
                                   const CoprocessorLine &line)
{
    auto argv = qemu_machine(vm, "256");
    for (const std::string &a : {std::string("-append"), std::string("console=ttyS0 panic=-1 quiet no_timer_check"),
                                 std::string("-chardev"), "file,id=console,path=" + qemu_value(console.string()),
                                 std::string("-chardev"), "socket,id=channel,path=" + qemu_value(channel.string()),
                                 std::string("-serial"), std::string("chardev:console"), std::string("-serial"),
                                 std::string("chardev:channel"), std::string("-serial"), std::string("null")})
        argv.push_back(a);
    for (const std::string &a : line.qemu_args())
        argv.push_back(a);
    return argv;
}

} // namespace

int run_qemu_board(const QemuOptions &options, const LineSource &lines, std::ostream &out, std::ostream &err)
{
    const fs::path vm = options.vm_dir.empty() ? fs::path(QUORVEL_VM_DIR) : fs::path(options.vm_dir);
    for (const char *name : {"vmlinuz", "initramfs.cpio.gz"}) {
        if (!fs::exists(vm / name)) {
            err << fmt::format("quorvel-board: no {} in {}: run ./quorvel vm-setup\n", name, vm.string());
            return 1;
        }
    }
    std::unique_ptr<CoprocessorLine> line;
    try {
        line = std::make_unique<CoprocessorLine>(options.uart, options.simulator);
    } catch (const std::exception &e) {
        err << "quorvel-board: cannot start the simulated co-processor: " << e.what() << '\n';
        return 1;
    }
    coproc::Simulator *sim = line->simulator();

    TempDir tmp;
    const fs::path console = options.console_log.empty() ? tmp.path() / "console.log" : fs::path(options.console_log);
    const fs::path socket = tmp.path() / "channel";
    Recorder recorder(sim);
    int status = -1;
    try {
        const Fd listener{listen_unix(socket)};
        Qemu qemu(qemu_argv(vm, console, socket, *line), tmp.path() / "qemu.log", line->inherited());
        vm::Channel guest(accept_from(listener.fd, qemu, "the guest's channel"));
        char kind = 0;
        std::string text;
        // Ctrl-C during a command reaches the guest as its channel's
        // interrupt character: its kernel signals the guest program, whose
        // blocking call returns -EINTR, as on the board.
        set_interrupt_hook([fd = guest.fd()] {
            const char intr = vm::kInterrupt;
            (void)!::send(fd, &intr, 1, MSG_NOSIGNAL);
        });
        struct Unhook {
            ~Unhook() { set_interrupt_hook(nullptr); }
        } unhook;
        if (!guest.receive(&kind, &text, kBootTimeoutMs) || kind != 'H')
            throw Failure("the guest did not start");
        std::string start = options.interactive ? "i" : "s";
        if (options.errexit)
            start += 'e';
        for (const auto &p : options.params)
            start += " '" + p + "'";
        guest.send('I', start);
        while (status < 0 && guest.receive(&kind, &text)) {
            switch (kind) {
            case 'O':
                out << text << '\n';
                break;
            case 'o':
                out << text << std::flush;
                break;
            case 'E':
                out.flush();
                err << text << '\n';
                break;
            case 'P':
                out.flush();
                if (auto next = lines()) {
                    std::string l = *next;
                    for (char &c : l)
                        if (c == '\n')
                            c = ';';
                    guest.send('L', l);
                } else {
                    guest.send('Z');
                }
                break;
            case 'T':
                serve_trace(guest, recorder);
                break;
            case 'C':
                serve_coproc(guest, sim, options.uart, text);
                break;
            case 'X':
                status = std::atoi(text.c_str());
                break;
            default:
                break;
            }
        }
        if (status < 0)
            throw Failure("the guest stopped before it had finished");
        if (!qemu.wait(kPowerOffTimeoutMs))
            throw Failure("the guest did not power off");
    } catch (const Failure &f) {
        out.flush();
        err << "quorvel-board: " << f.what() << "; the guest's console ends:\n" << tail(console, 30);
        const auto qemu_log = tail(tmp.path() / "qemu.log", 10);
        if (!qemu_log.empty())
            err << "QEMU said:\n" << qemu_log;
        return 1;
    }
    out.flush();
    return status;
}

} // namespace board
