#include "pty_session.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace e2e {

const char *const kClearScreen = "\033[H\033[2J\033[3J";

namespace {

using Clock = std::chrono::steady_clock;

// Length of the escape sequence starting at raw[i] (raw[i] is ESC), or 0 when it is cut off.
size_t escape_length(const std::string &raw, size_t i) {
    size_t n = raw.size();
    if (i + 1 >= n) return 0;
    char kind = raw[i + 1];
    if (kind == '[') {
        for (size_t j = i + 2; j < n; ++j) {
            unsigned char c = static_cast<unsigned char>(raw[j]);
            if (c >= 0x40 && c <= 0x7E) return j - i + 1;
        }
        return 0;
    }
    if (kind == ']' || kind == 'P' || kind == '_' || kind == '^') {
        for (size_t j = i + 2; j < n; ++j) {
            if (raw[j] == '\a') return j - i + 1;
            if (raw[j] == '\033' && j + 1 < n && raw[j + 1] == '\\') return j - i + 2;
        }
        return 0;
    }
    if (kind == '(' || kind == ')' || kind == '*' || kind == '+' || kind == '#') {
        return i + 2 < n ? 3 : 0;
    }
    return 2;
}

std::string printable(const std::string &s) {
    std::string r;
    for (unsigned char c : s) {
        if (c == '\n') {
            r += "\\n";
        } else if (c == '\r') {
            r += "\\r";
        } else if (c == '\033') {
            r += "\\e";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            r += buf;
        } else {
            r += static_cast<char>(c);
        }
    }
    return r;
}

}  // namespace

std::string plain_text(const std::string &raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        char c = raw[i];
        if (c == '\033') {
            size_t len = escape_length(raw, i);
            if (len == 0) break;
            i += len;
            continue;
        }
        if (c != '\r') out += c;
        ++i;
    }
    return out;
}

std::vector<std::string> screens(const std::string &raw) {
    std::vector<std::string> result;
    const std::string clear = kClearScreen;
    size_t start = 0;
    for (;;) {
        size_t at = raw.find(clear, start);
        if (at == std::string::npos) {
            result.push_back(plain_text(raw.substr(start)));
            return result;
        }
        result.push_back(plain_text(raw.substr(start, at - start)));
        start = at + clear.size();
    }
}

std::vector<std::string> escape_sequences(const std::string &raw) {
    std::vector<std::string> result;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\033') continue;
        size_t len = escape_length(raw, i);
        if (len == 0) break;
        result.push_back(raw.substr(i, len));
        i += len - 1;
    }
    return result;
}

PtySession::PtySession(SessionOptions options) : opt_(std::move(options)) {}

PtySession::~PtySession() {
    if (pid_ > 0 && !reaped_) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        reaped_ = true;
    }
    if (thread_.joinable()) {
        char b = 'x';
        ssize_t w = ::write(wake_[1], &b, 1);
        (void)w;
        thread_.join();
    }
    for (int fd : {master_, slave_, wake_[0], wake_[1]}) {
        if (fd >= 0) ::close(fd);
    }
}

void PtySession::fail(const std::string &what) {
    std::string screen = plain();
    failure_ = what + "\n--- program status: " + status_text() + "\n--- output so far (plain text) ---\n" +
               screen + "\n--- end of output ---\n--- raw, escaped: " + printable(raw()) + "\n";
}

bool PtySession::start() {
    int child_out = -1;
    int devnull = -1;
    std::string slave_name;
    if (opt_.use_terminal) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            failure_ = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
            return false;
        }
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0) {
            failure_ = "ptsname_r failed";
            return false;
        }
        slave_name = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) {
            failure_ = std::string("cannot open ") + name + ": " + strerror(errno);
            return false;
        }
        winsize ws{};
        ws.ws_row = opt_.rows;
        ws.ws_col = opt_.cols;
        ioctl(slave_, TIOCSWINSZ, &ws);
        tcgetattr(slave_, &initial_);
        child_out = slave_;
    } else {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            failure_ = "pipe2 failed";
            return false;
        }
        master_ = p[0];
        child_out = p[1];
        devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        failure_ = "pipe2 failed";
        return false;
    }

    // Everything the child needs is built before fork: after it only async-signal-safe calls.
    std::map<std::string, std::string> env;
    env["PATH"] = "/usr/local/bin:/usr/bin:/bin";
    env["HOME"] = "/tmp";
    env["LANG"] = "C.UTF-8";
    env["TERM"] = "xterm";  // also with a pipe: output piped from a terminal keeps TERM
    for (const auto &kv : opt_.env) {
        if (kv.second.empty()) {
            env.erase(kv.first);
        } else {
            env[kv.first] = kv.second;
        }
    }
    std::vector<std::string> env_strings;
    for (const auto &kv : env) env_strings.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (auto &s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> arg_strings{opt_.program};
    arg_strings.insert(arg_strings.end(), opt_.args.begin(), opt_.args.end());
    std::vector<char *> argv;
    for (auto &s : arg_strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    const char *cwd = opt_.cwd.empty() ? nullptr : opt_.cwd.c_str();
    const bool terminal = opt_.use_terminal;

    pid_ = fork();
    if (pid_ < 0) {
        failure_ = std::string("fork failed: ") + strerror(errno);
        return false;
    }
    if (pid_ == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGTTOU, SIGTTIN, SIGTSTP}) {
            ::signal(sig, SIG_DFL);
        }
        if (setsid() < 0) _exit(126);
        if (terminal) {
            if (ioctl(child_out, TIOCSCTTY, 0) != 0) _exit(126);
            dup2(child_out, 0);
        } else {
            dup2(devnull, 0);
        }
        dup2(child_out, 1);
        dup2(child_out, 2);
        if (cwd && chdir(cwd) != 0) _exit(126);
        // Nothing else the test process holds (a pipe it feeds, say) may leak into the program.
        close_range(3, ~0U, 0);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (!terminal) {
        ::close(child_out);
        ::close(devnull);
    }
    thread_ = std::thread([this] { reader(); });
    return true;
}

void PtySession::reader() {
    char buf[8192];
    for (;;) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int r = poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(mu_);
            out_.append(buf, static_cast<size_t>(n));
            cv_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mu_);
    reader_done_ = true;
    cv_.notify_all();
}

std::string PtySession::raw() const {
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
}

std::string PtySession::pending() const {
    std::string p = plain();
    return plain_cursor_ < p.size() ? p.substr(plain_cursor_) : std::string();
}

bool PtySession::expect(const std::string &text, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Clock::time_point gone{};
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mu_);
            std::string p = plain_text(out_);
            size_t at = p.find(text, plain_cursor_);
            if (at != std::string::npos) {
                plain_cursor_ = at + text.size();
                return true;
            }
            cv_.wait_for(lock, std::chrono::milliseconds(20));
        }
        auto now = Clock::now();
        // Once the program has ended, whatever it printed arrives within moments.
        if (gone == Clock::time_point{} && !running()) gone = now;
        bool gave_up = gone != Clock::time_point{} && now - gone > std::chrono::milliseconds(300);
        if (now >= deadline || gave_up) {
            fail("expected \"" + printable(text) + "\" within " + std::to_string(timeout_ms) +
                 " ms after the text already matched; not found" + (gave_up ? " (the program ended)" : ""));
            return false;
        }
    }
}

bool PtySession::expect_raw(const std::string &bytes, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        size_t at = out_.find(bytes, raw_cursor_);
        if (at != std::string::npos) {
            raw_cursor_ = at + bytes.size();
            return true;
        }
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
            size_t at2 = out_.find(bytes, raw_cursor_);
            if (at2 != std::string::npos) {
                raw_cursor_ = at2 + bytes.size();
                return true;
            }
            lock.unlock();
            fail("expected raw bytes \"" + printable(bytes) + "\" within " + std::to_string(timeout_ms) + " ms");
            return false;
        }
    }
}

bool PtySession::send(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failure_ = std::string("write to the terminal failed: ") + strerror(errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool PtySession::settings(termios *out) const {
    return slave_ >= 0 && tcgetattr(slave_, out) == 0;
}

int PtySession::unread_input() const {
    int n = -1;
    if (slave_ < 0 || ioctl(slave_, FIONREAD, &n) != 0) return -1;
    return n;
}

bool PtySession::running() {
    if (pid_ <= 0 || reaped_) return false;
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

bool PtySession::wait_exit(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (running()) {
        if (Clock::now() >= deadline) {
            kill_group(SIGKILL);
            waitpid(pid_, &status_, 0);
            reaped_ = true;
            fail("the program did not end within " + std::to_string(timeout_ms) + " ms; killed");
            return false;
        }
        usleep(5000);
    }
    // Let the reader collect what the program printed last. The kernel hands a pseudo-terminal's
    // output to the master side from a work queue, which a loaded machine may run late, so wait
    // until nothing has arrived for a while rather than for a fixed moment.
    auto give_up = Clock::now() + std::chrono::milliseconds(3000);
    size_t seen = raw().size();
    int quiet = 0;
    while (quiet < 6 && Clock::now() < give_up) {
        settle(50);
        int unread = 0;
        size_t now = raw().size();
        if (now == seen && ioctl(master_, FIONREAD, &unread) == 0 && unread == 0)
            quiet++;
        else
            quiet = 0;
        seen = now;
    }
    return true;
}

void PtySession::kill_group(int sig) {
    if (pid_ > 0 && !reaped_) ::kill(-pid_, sig);
}

void PtySession::settle(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

std::string PtySession::status_text() const {
    if (pid_ <= 0) return "not started";
    if (!reaped_) return "running";
    if (WIFEXITED(status_)) return "exited with status " + std::to_string(WEXITSTATUS(status_));
    if (WIFSIGNALED(status_)) return std::string("killed by signal ") + strsignal(WTERMSIG(status_));
    return "ended oddly";
}

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/romwrite-e2e-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

}  // namespace e2e
