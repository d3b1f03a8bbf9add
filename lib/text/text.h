// The text and data library in one include.
#pragma once

#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "lib/text/num.h"
#include "lib/text/str.h"
#include "lib/text/textlist.h"
