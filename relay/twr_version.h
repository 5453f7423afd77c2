/* The relay core's release number.
 *
 * The macros give the version of the headers a program was compiled with;
 * twr_version() gives the version of the library it runs with. A host that
 * loads the shared library can compare the two at start-up: a different
 * major version means the headers and the library do not belong together.
 * The build reads its version from this file, so it is written here only.
 * twr_version() returns a constant text and may be called from any thread. */
#ifndef RELAY_TWR_VERSION_H
#define RELAY_TWR_VERSION_H

#define TWR_VERSION_MAJOR 1
#define TWR_VERSION_MINOR 1
#define TWR_VERSION_PATCH 0
/* "MAJOR.MINOR.PATCH", the three numbers above. */
#define TWR_VERSION_STRING "1.1.0"

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the library's own TWR_VERSION_STRING, a static string: never NULL,
 * never to be freed. */
const char *twr_version(void);

#ifdef __cplusplus
}
#endif

#endif
