// Runs a program the way an operator does: under its own pseudo-terminal, as the leader of a new
// session with that terminal as its controlling terminal and as its stdin, stdout and stderr.
// A reader thread drains the terminal continuously, so the program never blocks on a full
// terminal buffer while a test is busy elsewhere.
//
// The same class runs a program with its output going to a pipe and no controlling terminal at
// all, as it would under a service manager or in CI, to check what it prints when nobody watches.
//
// Every wait is bounded. On a timeout the call returns false and failure() tells what was awaited
// and what the program had printed so far.
//
// No test framework is used here, so that other drivers (the QEMU rig) can reuse the class.
#ifndef ROMWRITE_E2E_PTY_SESSION_H
#define ROMWRITE_E2E_PTY_SESSION_H

#include <termios.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// The sequence the console writes to blank the screen and its scrollback and home the cursor.
extern const char *const kClearScreen;

// Removes escape sequences (CSI, OSC, two-byte ESC sequences) and carriage returns, leaving the
// text an operator reads. A sequence cut off at the end of the input is dropped.
std::string plain_text(const std::string &raw);

// Splits raw terminal output at each screen clear and returns the plain text of every piece: the
// first element is what was printed before the first clear (often empty), each later one what was
// printed after a clear up to the next.
std::vector<std::string> screens(const std::string &raw);

// Every escape sequence found in raw output, in order (each complete sequence as written).
std::vector<std::string> escape_sequences(const std::string &raw);

struct SessionOptions {
    std::string program;
    std::vector<std::string> args;   // without argv[0]
    // The child's whole environment is PATH, HOME, LANG=C.UTF-8 and TERM=xterm, then these entries
    // on top (an empty value removes a variable).
    std::map<std::string, std::string> env;
    std::string cwd;                 // empty: inherit
    bool use_terminal = true;        // false: stdout and stderr to a pipe, stdin /dev/null, no tty
    unsigned short rows = 40;
    unsigned short cols = 100;
};

class PtySession {
public:
    explicit PtySession(SessionOptions options);
    ~PtySession();   // kills the whole process group if it is still running

    PtySession(const PtySession &) = delete;
    PtySession &operator=(const PtySession &) = delete;

    // Starts the program. The terminal's settings at this moment are kept (initial_settings()).
    bool start();

    // Waits until `text` appears in the plain output after the expect cursor; on success the cursor
    // moves past it, so consecutive calls check an order.
    bool expect(const std::string &text, int timeout_ms);
    // Like expect() but on the raw bytes, escape sequences included, with a cursor of its own.
    bool expect_raw(const std::string &bytes, int timeout_ms);

    // Writes bytes to the terminal as typed keys ("x", "\033[A", "\x03" for the interrupt key).
    bool send(const std::string &bytes);

    // The terminal's current settings, read through the slave side that the parent keeps open.
    bool settings(termios *out) const;
    const termios &initial_settings() const { return initial_; }
    // Bytes typed but not (yet) read by anyone: a consumed key leaves nothing behind.
    int unread_input() const;

    // Waits for the program to end. On timeout kills its process group and returns false.
    bool wait_exit(int timeout_ms);
    bool running();   // reaps it if it has ended
    bool exited() const { return reaped_ && WIFEXITED(status_); }
    int exit_code() const { return WEXITSTATUS(status_); }
    bool signalled() const { return reaped_ && WIFSIGNALED(status_); }
    int signal() const { return WTERMSIG(status_); }
    std::string status_text() const;

    // Sends a signal to the program's process group.
    void kill_group(int sig);

    // Everything read so far.
    std::string raw() const;
    std::string plain() const { return plain_text(raw()); }
    // Plain text after the expect cursor (what the next expect will search).
    std::string pending() const;

    // Lets output arrive for a while (for checking that something does NOT get printed).
    void settle(int ms);

    const std::string &failure() const { return failure_; }
    pid_t pid() const { return pid_; }

private:
    void reader();
    void fail(const std::string &what);

    SessionOptions opt_;
    int master_ = -1;     // pty master, or the read end of the pipe
    int slave_ = -1;      // kept open so settings survive the child and reads never hit EIO
    int wake_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    termios initial_{};

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string out_;
    bool reader_done_ = false;
    std::thread thread_;

    size_t plain_cursor_ = 0;
    size_t raw_cursor_ = 0;
    std::string failure_;
};

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace e2e

#endif
