#ifndef OVUTILS_OVEXPORT_H
#define OVUTILS_OVEXPORT_H

// The repository library is compiled with hidden symbols; only the functions marked OV_EXPORT
// (plain C names) are visible in the shared library.
#define OV_EXPORT __attribute__((visibility("default")))

#endif
