// The console on a Linux terminal: ANSI escape sequences for clearing and colour, and the
// controlling terminal in non-canonical mode for single key presses.
#include "console.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

// The rest of an escape sequence normally arrives with its first byte; over a slow remote
// link it can come a little later, and a lone Escape key must not wait long.
enum { KEY_SEQUENCE_WAIT_MS = 30 };

// Keys read from the terminal but not yet consumed. Big enough for any cursor or function key
// sequence; reads never take more than the free space, so no byte is ever dropped.
enum { PENDING_MAX = 64 };

static int tty_fd = -1;
static struct termios saved_mode;
// Set only after saved_mode is complete, so a signal handler never restores half a copy.
static volatile sig_atomic_t mode_applied = 0;
static volatile sig_atomic_t colour_active = 0;
static unsigned char pending[PENDING_MAX];
static size_t pending_len = 0;
static int opened = 0;

// SIGPIPE too: output piped into a pager that quits must not leave the terminal without echo.
static const int restored_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// tcsetattr from a background process group would stop the program with SIGTTOU; the terminal
// has to be put back whatever the program's job state.
static void set_mode(const struct termios *mode, int when)
{
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &old);
    while (tcsetattr(tty_fd, when, mode) != 0 && errno == EINTR) {
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

static void restore_mode(int when)
{
    if (tty_fd >= 0 && mode_applied) {
        set_mode(&saved_mode, when);
        mode_applied = 0;
    }
}

static int in_foreground(void)
{
    return tty_fd >= 0 && tcgetpgrp(tty_fd) == getpgrp();
}

// The terminal is only switched while the program owns it: a job started in the background
// leaves the operator's shell alone and picks up keys once it is brought to the foreground.
static void apply_mode(void)
{
    if (mode_applied || !in_foreground())
        return;
    struct termios mode;
    if (tcgetattr(tty_fd, &mode) != 0)
        return;
    saved_mode = mode;
    // Only line editing and echo go: the interrupt key must still work, and output processing
    // stays so that every line end still returns the cursor to the left margin.
    mode.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    set_mode(&mode, TCSANOW);
    mode_applied = 1;
}

static void reset_colour_from_handler(void)
{
    if (colour_active) {
        static const char normal[] = "\033[0m";
        ssize_t ignored = write(STDOUT_FILENO, normal, sizeof normal - 1);
        (void)ignored;
        colour_active = 0;
    }
}

// Puts the terminal back, then lets the signal do what it would have done without us.
static void on_fatal_signal(int sig)
{
    int saved_errno = errno;
    restore_mode(TCSANOW);
    reset_colour_from_handler();
    signal(sig, SIG_DFL);
    raise(sig);  // delivered with the default action as soon as the handler returns
    errno = saved_errno;
}

// Ctrl-Z: hand the terminal back while stopped, take it again on return to the foreground.
static void on_stop_signal(int sig)
{
    int saved_errno = errno;
    restore_mode(TCSANOW);
    signal(sig, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, sig);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    raise(sig);  // stops here until continued
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    struct sigaction again;
    memset(&again, 0, sizeof again);
    again.sa_handler = on_stop_signal;
    sigemptyset(&again.sa_mask);
    sigaction(sig, &again, nullptr);
    apply_mode();
    errno = saved_errno;
}

// A signal the program was started with ignored stays ignored.
static void catch_signal(int sig, void (*handler)(int))
{
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
        return;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

static void close_at_exit(void)
{
    console_close();
}

void console_open(void)
{
    if (opened)
        return;
    opened = 1;
    // Device strings are wide; printing them needs the operator's character set.
    setlocale(LC_CTYPE, "");

    // Keys come from the operator's terminal even when standard input is redirected.
    tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (tty_fd < 0)
        return;
    struct termios probe;
    if (tcgetattr(tty_fd, &probe) != 0) {
        close(tty_fd);
        tty_fd = -1;
        return;
    }
    atexit(close_at_exit);
    for (size_t i = 0; i < sizeof restored_signals / sizeof restored_signals[0]; i++)
        catch_signal(restored_signals[i], on_fatal_signal);
    catch_signal(SIGTSTP, on_stop_signal);
    apply_mode();
}

void console_close(void)
{
    if (tty_fd < 0)
        return;
    // Signals could otherwise restore the terminal a second time, after the operator's shell
    // has changed it.
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    restore_mode(TCSADRAIN);
    close(tty_fd);
    tty_fd = -1;
    pending_len = 0;
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

static int colour_wanted(void)
{
    if (!isatty(STDOUT_FILENO))
        return 0;
    // NO_COLOR turns colour off whatever its value, even an empty one.
    if (getenv("NO_COLOR"))
        return 0;
    const char *term = getenv("TERM");
    return !(term && strcmp(term, "dumb") == 0);
}

void console_clear(void)
{
    fflush(stdout);
    if (!isatty(STDOUT_FILENO))
        return;
    fputs("\033[H\033[2J\033[3J", stdout);
    fflush(stdout);
}

void console_set_colour(int attribute)
{
    if (!colour_wanted())
        return;
    const char *sequence = "\033[0m";
    if (attribute == COLOUR_GOOD)
        sequence = "\033[0;92m";
    else if (attribute == COLOUR_BAD)
        sequence = "\033[0;91m";
    fputs(sequence, stdout);
    fflush(stdout);
    colour_active = attribute != COLOUR_DEFAULT;
}

int console_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int written = vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
    return written;
}

// Moves whatever the terminal has ready into the pending buffer, without waiting.
static void fill_pending(void)
{
    if (pending_len == PENDING_MAX || !in_foreground())
        return;
    apply_mode();
    ssize_t got = read(tty_fd, pending + pending_len, PENDING_MAX - pending_len);
    if (got > 0)
        pending_len += (size_t)got;
}

// True once byte `index` of the pending keys is there, waiting at most `wait_ms` for it
// (-1: without limit).
static int have_byte(size_t index, int wait_ms)
{
    if (index >= PENDING_MAX)
        return 0;
    while (index >= pending_len) {
        struct pollfd watch = {tty_fd, POLLIN, 0};
        int ready = poll(&watch, 1, wait_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (watch.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return 0;
        size_t before = pending_len;
        fill_pending();
        if (pending_len == before)
            return 0;
    }
    return 1;
}

int console_key_pressed(void)
{
    if (pending_len > 0)
        return 1;
    if (tty_fd < 0)
        return 0;
    fill_pending();
    return pending_len > 0;
}

// Continuation bytes that follow a UTF-8 lead byte: a key that types a non-ASCII character is
// still one key.
static size_t utf8_continuations(unsigned char lead)
{
    if (lead >= 0xF0 && lead < 0xF8)
        return 3;
    if (lead >= 0xE0)
        return lead < 0xF0 ? 2 : 0;
    if (lead >= 0xC0)
        return 1;
    return 0;
}

static size_t take_character(size_t start)
{
    size_t end = start + 1;
    size_t more = utf8_continuations(pending[start]);
    while (more-- > 0 && have_byte(end, KEY_SEQUENCE_WAIT_MS) && (pending[end] & 0xC0) == 0x80)
        end++;
    return end;
}

// Length of the key press at the start of the pending bytes.
static size_t key_length(void)
{
    if (pending[0] != 0x1B)
        return take_character(0);
    if (!have_byte(1, KEY_SEQUENCE_WAIT_MS))
        return 1;  // the Escape key itself
    if (pending[1] == 'O')  // ESC O x: keypad and some function keys
        return have_byte(2, KEY_SEQUENCE_WAIT_MS) ? 3 : 2;
    if (pending[1] != '[')  // Alt with a character
        return take_character(1);
    // ESC [ parameters intermediates final; the Linux console's F1 to F5 are ESC [ [ x.
    if (have_byte(2, KEY_SEQUENCE_WAIT_MS) && pending[2] == '[')
        return have_byte(3, KEY_SEQUENCE_WAIT_MS) ? 4 : 3;
    size_t end = 2;
    while (have_byte(end, KEY_SEQUENCE_WAIT_MS)) {
        unsigned char c = pending[end];
        if (c < 0x20 || c > 0x7E)
            break;  // not part of the sequence: the next key's
        end++;
        if (c >= 0x40)
            break;  // the final byte
    }
    return end;
}

void console_read_key(void)
{
    if (pending_len == 0 && (tty_fd < 0 || !have_byte(0, -1)))
        return;
    size_t length = key_length();
    memmove(pending, pending + length, pending_len - length);
    pending_len -= length;
}

void console_make_printable(wchar_t *text)
{
    mbstate_t state;
    memset(&state, 0, sizeof state);
    char bytes[MB_LEN_MAX];
    for (; *text; text++) {
        wchar_t c = *text;
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            *text = L'?';
            continue;
        }
        if (c < 0x7F)
            continue;
        if (wcrtomb(bytes, c, &state) == (size_t)-1) {
            memset(&state, 0, sizeof state);
            *text = L'?';
        }
    }
}
