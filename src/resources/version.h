#pragma once
// The program's one version number; the version resource and everything that
// reports the version take it from here.
#define QM_VERSION_MAJOR 4
#define QM_VERSION_MINOR 0
#define QM_VERSION_BUILD 0
#define QM_VERSION_REVISION 48

#define QM_STRINGIFY_(x) #x
#define QM_STRINGIFY(x) QM_STRINGIFY_(x)
#define QM_VERSION_TEXT                                                                   \
  QM_STRINGIFY(QM_VERSION_MAJOR)                                                          \
  "." QM_STRINGIFY(QM_VERSION_MINOR) "." QM_STRINGIFY(QM_VERSION_BUILD) "." QM_STRINGIFY( \
      QM_VERSION_REVISION)
