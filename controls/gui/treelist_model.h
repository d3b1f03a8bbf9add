// CTreeListModel: the Qt item model over a tree-list store, fed by queued change notifications.
#pragma once

#include "controls/treelist_store.h"

#include <QAbstractItemModel>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class CTreeListIcons;

// A flat model whose rows are the store's rows (hidden items have none) and whose columns are the
// store's columns. The store may change on any thread: its observer calls only queue what
// happened and post one flush to the model's (main) thread, which applies the queue in order.
// The model keeps only the item ids of its rows; texts and images are read from the store.
class CTreeListModel : public QAbstractItemModel {
 public:
  // What the widget has to act on, handed over by Flush on the main thread.
  struct Request {
    enum Kind { Focus, EnsureVisible, Edit, Setting, Columns, Selection };
    Request(Kind k, HTREEITEM i = TLI_NULL, int c = 0, DWORD v = 0, std::string t = {})
        : kind(k), item(i), column(c), value(v), text(std::move(t)) {}
    Kind kind;
    HTREEITEM item = TLI_NULL;
    int column = 0;    // Setting: the index (-1 extended style)
    DWORD value = 0;   // Edit: the editor kind; Setting: the value
    std::string text;  // Edit: the choices
  };

  explicit CTreeListModel(CTreeListStore& store, QObject* parent = nullptr);
  ~CTreeListModel() override;

  CTreeListStore& Store() const { return m_store; }
  void SetIcons(CTreeListIcons* icons) { m_icons = icons; }
  bool HasIcons() const { return m_icons != nullptr; }
  void SetRequestHandler(std::function<void(const Request&)> handler) { m_onRequest = std::move(handler); }

  // Applies what is queued. Runs from the posted flush; the widget calls it too, after its own
  // calls into the store, so that it sees their effect at once. Main thread only.
  void Flush();

  // True while Flush inserts, removes or rearranges rows.
  bool IsApplyingRows() const { return m_applyingRows; }

  HTREEITEM ItemOfRow(int row) const;
  int RowOfItem(HTREEITEM item) const;  // -1 when it has no row here
  QModelIndex IndexOf(HTREEITEM item, int column) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  struct Event {
    enum Kind { Inserted, Removed, Changed, Layout, Other };
    Event(Kind k, std::uint64_t rev = 0, int f = 0, int l = 0, std::vector<HTREEITEM> i = {})
        : kind(k), revision(rev), first(f), last(l), items(std::move(i)) {}
    Kind kind;
    std::uint64_t revision = 0;
    int first = 0;
    int last = 0;
    std::vector<HTREEITEM> items;
    Request request{Request::Focus};
  };
  class Observer;

  void Queue(Event&& e);  // any thread, under the store's lock
  void Apply(std::vector<Event>& events);
  void Resync();  // rows read anew: a layout change
  void SyncColumns();

  CTreeListStore& m_store;
  CTreeListIcons* m_icons = nullptr;
  std::function<void(const Request&)> m_onRequest;
  std::unique_ptr<Observer> m_observer;

  std::mutex m_queueMutex;
  std::vector<Event> m_queue;
  bool m_posted = false;

  std::vector<HTREEITEM> m_rows;
  int m_columns = 0;
  bool m_flushing = false;
  bool m_applyingRows = false;
  std::uint64_t m_skipUpTo = 0;  // events of this revision or older are already in m_rows
};
