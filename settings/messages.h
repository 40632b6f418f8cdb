// What the core has to tell the user goes through here. The Win32 program
// shows a message box with the text, caption and icon; the headless receiver
// writes to standard error; tests record what was said.
#pragma once

enum class MessageIcon { none, error, warning, information, question };

struct MessageSink {
    // caption nullptr: the system's default caption.
    void (*show)(void* context, const wchar_t* text, const wchar_t* caption, MessageIcon icon) = nullptr;
    void* context = nullptr;
};

// Replaces where messages go; a sink without `show` restores the default,
// which writes "caption: text" in UTF-8 to standard error.
void setMessageSink(const MessageSink& sink);
// Shows a message and returns when the user has seen it (a box is closed).
void showMessage(const wchar_t* text, const wchar_t* caption, MessageIcon icon);
