// The one way the program shows a message box. The data layer calls
// brolix_message; the window installs the routine that really shows the box,
// tests install a recorder.
#ifndef BROLIX_APP_MESSAGE_H
#define BROLIX_APP_MESSAGE_H

// Standard button values of the message box.
enum brolix_button {
    BTN_OK = 0x400,
    BTN_YES = 0x4000,
    BTN_NO = 0x10000,
    BTN_YES_NO = 0x14000
};

typedef int (*brolix_message_fn)(void* context, const char* text, const char* informative,
                                 int buttons, int default_button);

// Installs the routine; returns the previous one (and its context) so a caller can put it back.
brolix_message_fn set_message_routine(brolix_message_fn routine, void* context,
                                      void** previous_context = nullptr);

// Shows a box through the installed routine and returns the button pressed. With no
// routine installed the texts go to standard error and the default button is returned.
int brolix_message(const char* text, const char* informative, int buttons, int default_button);

#endif
