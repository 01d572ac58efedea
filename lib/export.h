#ifndef ORVEL_EXPORT_H
#define ORVEL_EXPORT_H

// Everything is built with hidden visibility; only the names R looks up with
// .C are marked for export.  The engine's own entries are marked hidden as
// well, so that no shared object linking the engine exports them, whatever
// its own build's default.
#if defined(_WIN32)
#define ORVEL_EXPORT __declspec(dllexport)
#define ORVEL_HIDDEN
#else
#define ORVEL_EXPORT __attribute__((visibility("default")))
#define ORVEL_HIDDEN __attribute__((visibility("hidden")))
#endif

#endif
