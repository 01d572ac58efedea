#ifndef ORVEL_EXPORT_H
#define ORVEL_EXPORT_H

// Everything is built with hidden visibility; only the names R looks up with
// .C are marked for export.
#if defined(_WIN32)
#define ORVEL_EXPORT __declspec(dllexport)
#else
#define ORVEL_EXPORT __attribute__((visibility("default")))
#endif

#endif
