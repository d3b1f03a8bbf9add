// The Sys file API in one include: types, paths, files, times and the copy engine.
#pragma once

#include "lib/system/sys_copy.h"
#include "lib/system/sys_counter.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_time.h"
#include "lib/system/sys_types.h"
