// Tree-list item handles, item masks, states, settings and the records of its requests.
#pragma once

#include "platform/win_types.h"

#include <cstdint>
#include <string>

// Item handle of the tree-list store: a stable id, never a pointer. Ids of live items lie in
// 1 .. 0x00FFFFFF, so a caller may pack one into the low 24 bits of a word. A deleted item's id
// is not handed out again until the id counter has gone round all 2^24 - 1 values; every request
// with a stale id answers -1, an empty text or a null handle.
enum class HTREEITEM : std::uint32_t {};

inline constexpr HTREEITEM TLI_NULL{0u};
// The root, parent of every item; also "no item" where a view keeps a handle word.
inline constexpr HTREEITEM TVI_ROOT{0xFFFF0000u};
// Insert-after positions of InsertItem and MoveItemAfter.
inline constexpr HTREEITEM TVI_FIRST{0xFFFF0001u};
inline constexpr HTREEITEM TVI_LAST{0xFFFF0002u};
inline constexpr HTREEITEM TVI_SORT{0xFFFF0003u};  // in byte order of the item text

inline constexpr std::uint32_t TLI_ID_LIMIT = 0x01000000u;

inline constexpr std::uint32_t ItemToU32(HTREEITEM h) { return static_cast<std::uint32_t>(h); }
inline constexpr HTREEITEM U32ToItem(std::uint32_t v) { return HTREEITEM{v}; }

// Item mask bits of TLITEM, InsertRow and InsertItem.
inline constexpr UINT TVIF_TEXT = 0x0001;
inline constexpr UINT TVIF_IMAGE = 0x0002;
inline constexpr UINT TVIF_PARAM = 0x0004;
inline constexpr UINT TVIF_STATE = 0x0008;
inline constexpr UINT TVIF_HANDLE = 0x0010;
inline constexpr UINT TVIF_SELECTEDIMAGE = 0x0020;
// Text and image refer to the cell of TLITEM::column (without it: column 0, the item's own).
inline constexpr UINT TLIF_SUBITEM = 0x8000;
// End-of-edit record only: the editor delivered a new text.
inline constexpr UINT TLIF_NEWTEXT = 0x20000000;
// Accepted for compatibility: "give me the control's own copy". Texts are always copied here.
inline constexpr UINT TLIF_TEXTPTR = 0x80000000;

// Item state bits.
inline constexpr UINT TVIS_FOCUSED = 0x0001;   // read only: the focused item
inline constexpr UINT TVIS_SELECTED = 0x0002;
inline constexpr UINT TLIS_HIDDEN = 0x4000;    // the item has no row

// TVM_GETNEXTITEM codes of GetNextItem.
inline constexpr UINT TVGN_ROOT = 0;             // first item
inline constexpr UINT TVGN_NEXT = 1;             // next item, hidden ones included
inline constexpr UINT TVGN_PREVIOUS = 2;         // previous item, hidden ones included
inline constexpr UINT TVGN_PARENT = 3;           // null: every item is top-level
inline constexpr UINT TVGN_CHILD = 4;            // of the root: first item; of an item: null
inline constexpr UINT TVGN_FIRSTVISIBLE = 5;     // item of row 0
inline constexpr UINT TVGN_NEXTVISIBLE = 6;      // item of the next row
inline constexpr UINT TVGN_PREVIOUSVISIBLE = 7;  // item of the previous row
inline constexpr UINT TVGN_CARET = 9;            // focused item
inline constexpr UINT TVGN_LASTVISIBLE = 10;     // item of the last row
inline constexpr UINT TLGN_NEXTSELECTED = 11;    // from the root: first selected; else next selected
inline constexpr UINT TLGN_FOCUS = 15;           // focused item
inline constexpr UINT TLGN_FOCUSCOLUMN = 16;     // focused column: GetFocusedColumn()

// Settings (TLM_SETTING). The store keeps each value; the drawing widget acts on the hints.
//  3 options: a bit word, see TLO_*; the job list sets 23, the dialogs' folder lists 802, others
//    keep 0.
//  4 fixed rows: the first N items keep their place: rows dropped onto or above them land behind
//    them, a drag moves none of them (their drop is reported, not carried out), and a sort leaves
//    them where they are. The job list sets 1 while its filter bar is the first item.
//  5 bar rows: the fixed rows are an input bar: drawn with their own background and without
//    icons, edited with one click. Without fixed rows it has no effect, so it may stay on.
//  16 top row: the row shown at the top of the widget (its scroll position); 0 scrolls to the top.
//  17 edit limit: the in-place text editor takes no more characters (code points) than this; a
//    text that is already longer is never cut, it may only get shorter. 0: no limit.
inline constexpr int TLSETTING_OPTIONS = 3;
inline constexpr int TLSETTING_FIXEDROWS = 4;
inline constexpr int TLSETTING_BARROWS = 5;
inline constexpr int TLSETTING_TOPROW = 16;
inline constexpr int TLSETTING_EDITLIMIT = 17;
inline constexpr int TLSETTING_COUNT = 32;   // indices 0 .. 31 are kept; others answer 0
inline constexpr DWORD TLSETTING_SET = 0x80000000u;  // bit 31 of the packed index: set

// Option bits of setting 3.
inline constexpr DWORD TLO_MULTISELECT = 0x001;  // several rows may be selected (else one)
inline constexpr DWORD TLO_CLICKEDIT = 0x002;    // a click on the focused cell starts an edit
inline constexpr DWORD TLO_DRAGROWS = 0x004;     // rows can be dragged to a new place (EndDrag)
inline constexpr DWORD TLO_CELLIMAGES = 0x010;   // cells show their images
inline constexpr DWORD TLO_ENTERNEXT = 0x020;    // Enter in the editor edits the next row next
inline constexpr DWORD TLO_TYPEEDIT = 0x100;     // typing a character on a row starts an edit
inline constexpr DWORD TLO_NOHEADER = 0x200;     // no column header

// Column flags (InsertColumn, SetColumnFlags).
inline constexpr UINT TLCF_EDITABLE = 0x0002;   // plain in-place text editor
inline constexpr UINT TLCF_EDITKEYS = 0x0004;   // typing on the focused cell starts the editor
inline constexpr UINT TLCF_ASKOWNER = 0x8000;   // the owner's start-edit answer chooses the editor

// Column formats.
inline constexpr int LVCFMT_LEFT = 0;
inline constexpr int LVCFMT_RIGHT = 1;
inline constexpr int LVCFMT_CENTER = 2;

// Answers to the start-edit notification (also the editor kind of an edit request).
inline constexpr DWORD TLSE_NONE = 0;                // no editor
inline constexpr DWORD TLSE_TEXTEDIT = 0x80000000u;  // text editor
inline constexpr DWORD TLSE_CHOICELIST = 0xF0007C00u;  // drop-down list of "|"-ended choices

// Key code of a start-edit caused by the mouse (a click on the focused cell or a double click);
// 0 is an edit asked for by the program (EditLabel).
inline constexpr UINT TLK_MOUSE = 0x10000;
// Virtual keys that start edits and move between cells.
inline constexpr UINT VK_TAB = 0x09;
inline constexpr UINT VK_RETURN = 0x0D;
inline constexpr UINT VK_SPACE = 0x20;
inline constexpr UINT VK_F2 = 0x71;

// Flag word of the end-of-drag record: negative = the drop was done (the row moved, or a fixed
// row was dropped onto another row and stayed).
inline constexpr int TLDRAG_DROPPED = INT32_MIN;

// Item record of GetItem / SetItem.
struct TLITEM {
  UINT mask = 0;
  HTREEITEM hItem = TLI_NULL;
  UINT state = 0;
  UINT stateMask = 0;
  std::string text;        // TVIF_TEXT: the cell's UTF-8 text
  int image = -1;          // TVIF_IMAGE: the cell's image
  int selectedImage = -1;  // TVIF_SELECTEDIMAGE: the item's selected image (column 0)
  LPARAM lParam = 0;       // TVIF_PARAM
  int column = 0;          // with TLIF_SUBITEM
};

// Column record.
struct TLCOLUMN {
  std::string title;
  int format = LVCFMT_LEFT;
  int width = 0;    // pixels; negative: share of the width the fixed columns leave
  UINT flags = 0;   // TLCF_*
};

// TLN_STARTEDIT: an edit of a cell is to start. The owner may put choices into text and answer
// TLSE_CHOICELIST; the record's text holds the cell's current text on entry.
struct TLNSTARTEDIT {
  HTREEITEM hItem = TLI_NULL;
  int column = 0;
  UINT key = 0;  // virtual key that started it, TLK_MOUSE, or 0 for EditLabel
  std::string text;
};

// TVN_ENDLABELEDIT: an edit ended. mask has TLIF_NEWTEXT when the editor delivered text; the
// owner may change text before answering 0 (keep: the store stores text) or 1 (refuse).
struct TLNENDEDIT {
  UINT mask = 0;
  HTREEITEM hItem = TLI_NULL;
  int column = 0;
  std::string text;
};

// TLN_ENDDRAG: the widget's own row drag ended.
struct TLNENDDRAG {
  int flags = 0;  // TLDRAG_DROPPED (negative) when the row was moved
  HTREEITEM hDragged = TLI_NULL;
  HTREEITEM hTarget = TLI_NULL;
};

// TVN_KEYDOWN: a key in the list (not in an editor).
struct TLNKEYDOWN {
  UINT vkey = 0;
  UINT flags = 0;
  HTREEITEM hFocus = TLI_NULL;  // focused item at the time
  int column = 0;               // focused column
};
