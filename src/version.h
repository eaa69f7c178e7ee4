/*
 * Tavrin's version and names, in one place: read by the resource script
 * (the version resource and, through the build, the manifest), by the
 * installer script and by the code. Plain #defines only, so that the
 * resource compiler and the installer compiler can read them.
 */
#ifndef TAVRIN_VERSION_H
#define TAVRIN_VERSION_H

#define TAVRIN_VERSION_MAJOR 1
#define TAVRIN_VERSION_MINOR 1
#define TAVRIN_VERSION_PATCH 0
#define TAVRIN_VERSION_BUILD 0
/* The four numbers above as text; release file names carry it. */
#define TAVRIN_VERSION_TEXT "1.1.0.0"

#define TAVRIN_PRODUCT_NAME "Tavrin"
#define TAVRIN_COMPANY_NAME "Quorvel"
#define TAVRIN_FILE_DESCRIPTION "Tavrin transference"
#define TAVRIN_INTERNAL_NAME "tavrin"
#define TAVRIN_ORIGINAL_FILENAME "tavrin.exe"
/* Written after a copyright sign in the resource script. */
#define TAVRIN_COPYRIGHT_YEARS "2019-2026"

#endif
