// The operator's console: text output, screen clearing, colours and single key presses.
//
// This is the only code that touches the terminal's settings, /dev/tty or escape sequences.
// Everything degrades quietly: without a terminal on standard output nothing is cleared or
// coloured, and without a controlling terminal no key is ever pressed.
#ifndef ROMWRITE_CONSOLE_H
#define ROMWRITE_CONSOLE_H

#include <stddef.h>
#include <wchar.h>

enum {
    COLOUR_DEFAULT = 7,  // normal text
    COLOUR_GOOD = 10,    // bright green
    COLOUR_BAD = 12,     // bright red
};

// Takes the locale's character set for device strings, opens the controlling terminal and
// switches it to single key presses without echo. The saved settings come back on every way
// out: console_close(), a normal exit, and the interrupt, quit, hang-up and terminate signals
// (which then end the program exactly as they would have). Safe to call more than once.
void console_open(void);

// Restores the terminal exactly as it was found and lets it go. Safe to call more than once.
void console_close(void);

// Blanks the screen and its scrollback and puts the cursor top left, after everything printed so
// far. Does nothing when standard output is not a terminal.
void console_clear(void);

// True when at least one key press is waiting. Returns at once and consumes nothing.
int console_key_pressed(void);

// Consumes exactly one key press, all the bytes of a cursor or function key included. Waits for
// a key when none is waiting; returns at once when there is no terminal to read.
void console_read_key(void);

// Colour of the text printed from now on: COLOUR_DEFAULT, COLOUR_GOOD or COLOUR_BAD.
void console_set_colour(int attribute);

// printf to standard output; the text is on the screen before the call returns.
int console_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Makes a device string safe to print with %ls: every character the locale cannot show, and
// every control character (a device must not be able to drive the terminal), becomes '?'.
// Printable ASCII is left as it is. `text` is zero-terminated.
void console_make_printable(wchar_t *text);

#endif
