// CTreeListStore: items, rows, cells, state, moves and sorting under one lock.
#include "controls/treelist_store.h"
