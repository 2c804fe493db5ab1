#ifndef JSTREAM_JSTREAMGLOBAL_H
#define JSTREAM_JSTREAMGLOBAL_H

// JSTREAM_EXPORT marks the classes that libjstream exports. The library is built with
// hidden visibility, so everything not marked stays private to it.
#if defined(_WIN32)
#if defined(JSTREAM_BUILDING_LIBRARY)
#define JSTREAM_EXPORT __declspec(dllexport)
#else
#define JSTREAM_EXPORT __declspec(dllimport)
#endif
#else
#define JSTREAM_EXPORT __attribute__((visibility("default")))
#endif

#endif  // JSTREAM_JSTREAMGLOBAL_H
