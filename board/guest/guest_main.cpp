// quorvel-guest: the board's program inside the VM, run as the guest's init
// once /init has mounted /proc, /sys and /dev. It takes its orders from the
// host's quorvel-board over /dev/ttyS1 (vm_channel.hpp): loads the module,
// runs each line of commands with the board's own shell on real system
// calls, and at the end unloads the module as the board does, reports the
// exit status and powers the VM off. Or, asked to run a program, runs it
// (guest_run.hpp).
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/reboot.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ostream>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "guest_board.hpp"
#include "guest_run.hpp"
#include "interrupt.hpp"
#include "leave_pins.hpp"
#include "parse.hpp"
#include "shell.hpp"
#include "vm_channel.hpp"

namespace {

constexpr const char *kChannelPath = "/dev/ttyS1";
constexpr const char *kModulePath = "/lib/modules/quorvel_linux_module.ko";
constexpr int kChannelFd = 100; // above every descriptor the session's program opens

[[noreturn]] void power_off()
{
    ::sync();
    ::reboot(RB_POWER_OFF);
    ::_exit(1);
}

void on_interrupt(int) { board::request_interrupt(); }

// The channel, raw, on a descriptor out of the program's way. It is also the
// guest's controlling terminal with only its interrupt character live, so a
// Ctrl-C on the host (vm::kInterrupt) becomes SIGINT here: the call the
// program is blocked in returns -EINTR, and the board's own waits end.
int open_channel()
{
    (void)::setsid();
    const int fd = ::open(kChannelPath, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    (void)::ioctl(fd, TIOCSCTTY, 0);
    board::prepare_interrupts();
    struct sigaction sa {};
    sa.sa_handler = on_interrupt; // no SA_RESTART: blocking calls end
    ::sigaction(SIGINT, &sa, nullptr);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    tio.c_lflag |= ISIG | NOFLSH; // NOFLSH: the messages queued around it stay
    tio.c_cc[VINTR] = board::vm::kInterrupt;
    tio.c_cc[VQUIT] = _POSIX_VDISABLE;
    tio.c_cc[VSUSP] = _POSIX_VDISABLE;
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(fd, TCSANOW, &tio);
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, kChannelFd);
    ::close(fd);
    return high;
}

// The board's leaving: close what the program left open, unload the module.
// The last close of a tty leaves its release, and the module reference it
// holds, to the system work queue: the unload is tried again while the
// module is in use (-EAGAIN from delete_module here), for 5 s at most.
bool leave(board::GuestBoard &b, std::ostream &err)
{
    b.close_all();
    (void)board::unexport_pins(b);
    if (!b.module_loaded())
        return true;
    std::string why;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int rc;
    while (((rc = b.rmmod(&why)) == -EBUSY || rc == -EAGAIN) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (rc < 0) {
        err << "rmmod: " << (why.empty() ? "refused" : why) << " (" << rc << ")\n";
        return false;
    }
    return true;
}

int run(board::vm::Channel &host)
{
    board::vm::ChannelBuf out_buf(host, 'O'), err_buf(host, 'E');
    std::ostream out(&out_buf), err(&err_buf);
    char kind = 0;
    std::string text;
    board::GuestRun program;
    if (!host.send('H'))
        return 1;
    // A program to run comes in words before the start.
    while (host.receive(&kind, &text) && kind != 'I') {
        const std::string value = board::vm::hex_decode(text);
        if (kind == 'a')
            program.argv.push_back(value);
        else if (kind == 'n')
            program.env.push_back(value);
        else if (kind == 'w')
            program.cwd = value;
        else if (kind == 'b')
            program.socket_path = value;
        else if (kind == 't')
            program.terminal = std::sscanf(value.c_str(), "%u %u", &program.rows, &program.cols) == 2;
    }
    if (kind != 'I')
        return 1;
    // "MODE PARAM...": MODE s stops at the first line that does not parse,
    // i goes on; a trailing e stops at the first command that fails.
    const auto words = board::split_words(text).value_or(std::vector<std::string>{"s"});
    const bool stop_on_error = words.empty() || words[0][0] != 'i';
    const bool errexit = !words.empty() && words[0].find('e') != std::string::npos;
    const std::vector<std::string> params(words.empty() ? words.end() : words.begin() + 1, words.end());

    if (!words.empty() && words[0] == "r") {
        program.params = params;
        return board::run_guest_program(host, program, kModulePath);
    }
    board::GuestBoard b(host, kModulePath);
    std::string why;
    const int rc = b.insmod(params, &why);
    if (rc < 0) {
        err << "quorvel-board: insmod: " << (why.empty() ? "refused" : why) << " (" << rc << ")\n";
        err.flush();
        return 1;
    }
    board::Shell shell(b, out, err);
    shell.set_errexit(errexit);
    board::Outcome outcome = board::Outcome::Ok;
    while (host.send('P') && host.receive(&kind, &text) && kind == 'L') {
        outcome = shell.run_text(text, stop_on_error);
        out.flush();
        err.flush();
        if (outcome == board::Outcome::Exit || outcome == board::Outcome::Failed ||
            (outcome == board::Outcome::Usage && stop_on_error))
            break;
        outcome = board::Outcome::Ok;
    }
    const bool clean = leave(b, err);
    out.flush();
    err.flush();
    if (outcome == board::Outcome::Usage)
        return 2;
    return clean && outcome != board::Outcome::Failed ? 0 : 1;
}

} // namespace

int main()
{
    for (int fd = 3; fd < 64; fd++)
        ::close(fd);
    const int fd = open_channel();
    if (fd < 0)
        power_off();
    int status = 1;
    {
        board::vm::Channel host(fd);
        status = run(host);
        host.send('X', std::to_string(status));
    }
    power_off();
}
