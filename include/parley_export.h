/* The one export macro of the library: everything the shared library offers to
   its host carries PARLEY_API; everything else stays hidden. */
#ifndef PARLEY_EXPORT_H
#define PARLEY_EXPORT_H

#if defined(_WIN32)
#  if defined(PARLEY_BUILDING)
#    define PARLEY_API __declspec(dllexport)
#  elif defined(PARLEY_STATIC)
#    define PARLEY_API
#  else
#    define PARLEY_API __declspec(dllimport)
#  endif
#else
#  define PARLEY_API __attribute__((visibility("default")))
#endif

#endif
