// The drag contract between a browser pane and the window it is dragged onto: hit test, effect, drop.
//
// The pane starts the drag; the window it is dragged over only reports where the pointer is. The
// pane then asks the hit test registered on it for the code of that screen point, the drop-effect
// function for the effect, and on a drop hands its texts to the drop handler.
#pragma once

#include "platform/win_types.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Key state of a drag: mouse buttons and keys held.
inline constexpr u32 PANE_MK_LBUTTON = 0x01;
inline constexpr u32 PANE_MK_RBUTTON = 0x02;
inline constexpr u32 PANE_MK_SHIFT = 0x04;
inline constexpr u32 PANE_MK_CONTROL = 0x08;

// What a drop would do: nothing, add (copy) or replace (move).
inline constexpr int PANE_DROPEFFECT_NONE = 0;
inline constexpr int PANE_DROPEFFECT_COPY = 1;
inline constexpr int PANE_DROPEFFECT_MOVE = 2;

// Kinds of dragged texts.
inline constexpr int kPaneDragFiles = 1;  // full paths from the file pane
inline constexpr int kPaneDragKey = 2;    // one key path from the registry pane ("HKEY_...")

// Where a screen point lies for a drop: true and its code, or false for no target there.
using PaneHitTestFn = std::function<bool(int x, int y, int* code)>;
// The effect of a drop with keyState on code; count is the number of texts dragged (0: nothing).
using PaneDropEffectFn = std::function<int(u32 keyState, const int* code, int count)>;
// The drop: the texts, their kind, the hit code, and the context given with the handler.
using PaneDropFn = std::function<void(const std::vector<std::string>& texts, int kind, int code, void* context)>;

// The callbacks a pane holds for its drags.
class CPaneDragTarget {
 public:
  void SetDropHandler(PaneDropFn fn, void* context) {
    m_drop = std::move(fn);
    m_context = context;
  }
  // reserved: 0 (a second hit test the panes do not use).
  void SetDragTarget(PaneHitTestFn hitTest, int reserved, PaneDropEffectFn effect) {
    (void)reserved;
    m_hitTest = std::move(hitTest);
    m_effect = std::move(effect);
  }

  // The effect of count texts over the screen point: none without a hit test, off a target, or
  // when the effect function says so. *code (optional) gets the hit code.
  int DragOver(int x, int y, u32 keyState, int count, int* code = nullptr) const;
  // A drop at the screen point: asks as DragOver does and, when the effect is not none, hands the
  // texts to the drop handler. True when it got them.
  bool Drop(int x, int y, u32 keyState, const std::vector<std::string>& texts, int kind) const;

 private:
  PaneHitTestFn m_hitTest;
  PaneDropEffectFn m_effect;
  PaneDropFn m_drop;
  void* m_context = nullptr;
};

// What a pane's drag carries beside the forms other programs read: the pane, the kind, the texts.
struct PaneDragData {
  std::uint64_t paneId = 0;
  int kind = 0;
  std::vector<std::string> texts;
};
// The bytes of the pane's own drag format: the id, the kind and the texts, each ended by a NUL
// (no path or key name holds one).
std::string PaneDragBytes(const PaneDragData& data);
// nullopt for bytes not made by PaneDragBytes.
std::optional<PaneDragData> ParsePaneDragBytes(std::string_view bytes);
