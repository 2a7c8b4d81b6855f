#pragma once
// Identifiers of the program's resources.
#define QM_MANIFEST_APPLICATION 1
#define QM_MANIFEST_SDK 101
