// Resource identifiers shared by loader.rc and the program.
#pragma once

#define IDI_MAINICON 1
#define IDB_IMAGES 100
#define IDB_IMAGES_MASK 101
