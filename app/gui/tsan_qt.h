// Qt is not built with ThreadSanitizer: its own thread handovers (thread
// pool, futex-based mutexes and semaphores of queued connections) are
// invisible to it, so what it sees inside Qt's libraries is not ours to
// report.  The same holds for GLib, whose main loop (and its wake-up file
// descriptor) serves the event loops of Qt's threads.  Include in exactly
// one file of a program; inert without TSan.
#pragma once

extern "C" __attribute__((visibility("default"), used)) const char *__tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n"
           "race:libQt6Core.so.6\n"
           "race:libQt6Gui.so.6\n"
           "race:libQt6Widgets.so.6\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "race:libglib-2.0.so.0\n";
}
