#include "settings/messages.h"

#include <cstdio>

#include "platform/platform.h"

namespace {

// Set at start-up, before the threads that report anything exist.
MessageSink gSink;

void writeToStandardError(void*, const wchar_t* text, const wchar_t* caption, MessageIcon) {
    char line[2048];
    if (caption && wideToUtf8(caption, line, sizeof line)) std::fprintf(stderr, "%s: ", line);
    if (wideToUtf8(text, line, sizeof line)) std::fprintf(stderr, "%s\n", line);
}

}  // namespace

void setMessageSink(const MessageSink& sink) { gSink = sink; }

void showMessage(const wchar_t* text, const wchar_t* caption, MessageIcon icon) {
    if (gSink.show)
        gSink.show(gSink.context, text, caption, icon);
    else
        writeToStandardError(nullptr, text, caption, icon);
}
