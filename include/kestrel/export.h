// Export macro of the Kestrel client library.
#ifndef KESTREL_EXPORT_H
#define KESTREL_EXPORT_H

#if defined(KESTREL_STATIC)
#define KESTREL_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#if defined(KESTREL_BUILDING)
#define KESTREL_API __declspec(dllexport)
#else
#define KESTREL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define KESTREL_API __attribute__((visibility("default")))
#else
#define KESTREL_API
#endif

#endif  // KESTREL_EXPORT_H
