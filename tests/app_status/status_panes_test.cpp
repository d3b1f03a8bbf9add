// Status-pane service: numbering, the 25-pane limit, group ids, colours and calls from threads.
#include "app/status_panes.h"

#include "tests/support/deadline.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace {

// Records what the status bar was told to show.
struct Recorder : IStatusPaneObserver {
  std::vector<StatusPane> shown;
  int layouts = 0, changes = 0;
  void PanesLaidOut(const std::vector<StatusPane>& panes) override { shown = panes, ++layouts; }
  void PaneChanged(int index, const StatusPane& pane) override {
    shown.at(static_cast<std::size_t>(index)) = pane;
    ++changes;
  }
};

const char* const kTexts[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", nullptr};

struct StatusPanesTest : ::testing::Test {
  Recorder bar;
  CStatusPanes panes{&bar};
  void SetUp() override { panes.BarCreated(); }
  std::string Text(int index) { return panes.Panes().at(static_cast<std::size_t>(index)).text; }
};

TEST(StatusPanesNoBar, EveryCallAnswersZero) {
  Recorder bar;
  CStatusPanes panes{&bar};
  const LPARAM words[5] = {reinterpret_cast<LPARAM>(kTexts), 0, 2, 0, 0};
  for (WPARAM op : {0u, 1u, 2u, 3u, 4u, 9u}) EXPECT_EQ(panes.OnStatusPaneCall(op, words), 0) << op;
  EXPECT_TRUE(panes.Panes().empty());
  EXPECT_EQ(bar.layouts + bar.changes, 0);
  // Also once the bar is gone again.
  panes.BarCreated();
  panes.BarDestroyed();
  EXPECT_EQ(panes.AddStatusPanes(kTexts, nullptr, 1), 0);
}

TEST_F(StatusPanesTest, TextNeedsSetStatusPanesFirst) {
  EXPECT_EQ(panes.SetStatusPaneText(0, "x", 0, -1, -1), 0);
  EXPECT_EQ(panes.SetStatusPaneColors(-1, 0, 1, 2), 0);
  EXPECT_EQ(panes.OnStatusPaneCall(7, nullptr), 1);  // unknown operation
}

TEST_F(StatusPanesTest, BasePanesWidthsAndCount) {
  panes.SetFontUnit(CStatusPanes::FontUnit(0, 12));  // two thirds of the height: 8
  const int widths[] = {-3, 40, -1};
  EXPECT_EQ(panes.SetStatusPanes(kTexts, widths, 3), 3);
  auto p = panes.Panes();
  ASSERT_EQ(p.size(), 7u);
  EXPECT_EQ(p[1].width, 24);
  EXPECT_EQ(p[2].width, 40);
  EXPECT_EQ(p[3].width, 8);
  EXPECT_EQ(p[1].owner, 1);
  EXPECT_EQ(bar.shown, p);
  // A negative count counts the texts up to the null, at most 8.
  EXPECT_EQ(panes.SetStatusPanes(kTexts, nullptr, -1), 8);
  EXPECT_EQ(panes.Panes()[8].width, 50);
  EXPECT_EQ(panes.SetStatusPanes(kTexts, nullptr, 20), 8);
  EXPECT_EQ(panes.SetStatusPanes(kTexts, nullptr, 0), 0);
  EXPECT_EQ(panes.Panes().size(), 4u);
  EXPECT_EQ(CStatusPanes::FontUnit(40, 10), 25);
  EXPECT_EQ(CStatusPanes::FontUnit(0, 0), 7);
}

TEST_F(StatusPanesTest, Numbering) {
  panes.SetStatusPanes(kTexts, nullptr, 2);  // a b
  const char* const group[] = {"g1", "g2"};
  EXPECT_EQ(panes.AddStatusPanes(group, nullptr, 2) & 0xFFFF, 2);
  // Status panes: msg a b g1 g2 ind ind ind
  struct Case {
    int pane, index;
  } const cases[] = {{0, 1}, {1, 2}, {3, 4}, {-1, 4}, {-2, 3}, {-4, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(panes.SetStatusPaneText(c.pane, "new", 0, -1, -1), 1) << c.pane;
    EXPECT_EQ(Text(c.index), "new") << c.pane;
    EXPECT_EQ(bar.shown[static_cast<std::size_t>(c.index)].text, "new");
  }
  // Neither the message pane nor the indicators.
  for (int pane : {4, 7, -5, -9}) EXPECT_EQ(panes.SetStatusPaneText(pane, "no", 0, -1, -1), 0) << pane;
  for (int index : {0, 5, 6, 7}) EXPECT_EQ(Text(index), "");
}

TEST_F(StatusPanesTest, GroupsKeepTheirNegativeNumbers) {
  panes.SetStatusPanes(kTexts, nullptr, 1);
  const char* const first[] = {"x1", "x2", "x3"};
  const char* const second[] = {"y1"};
  const int a = panes.AddStatusPanes(first, nullptr, 3);
  EXPECT_EQ(a, static_cast<int>(0xFFFD0000u | 2));  // -3 << 16 | 2
  const int b = panes.AddStatusPanes(second, nullptr, 1);
  EXPECT_EQ(b >> 16, -4);
  EXPECT_EQ(b & 0xFFFF, 3);
  // The first group's numbers still name its panes; new base panes do not move them.
  panes.SetStatusPanes(kTexts, nullptr, 4);
  panes.SetStatusPaneText(a >> 16, "first", 0, -1, -1);
  auto p = panes.Panes();
  EXPECT_EQ(p[p.size() - 6].text, "first");
  EXPECT_EQ(p[p.size() - 6].owner, 2);
  // Removing takes group 2 only.
  EXPECT_EQ(panes.RemoveStatusPanes(), 1 + 4 + 1 + 3);
  p = panes.Panes();
  EXPECT_EQ(p[5].text, "y1");
  EXPECT_EQ(bar.shown, p);
  EXPECT_EQ(panes.RemoveStatusPanes(), 9);
}

TEST_F(StatusPanesTest, TwentyFivePanesAtMost) {
  panes.SetStatusPanes(kTexts, nullptr, 8);  // 12 panes
  EXPECT_EQ(panes.AddStatusPanes(kTexts, nullptr, 10) & 0xFFFF, 2);
  EXPECT_EQ(panes.Panes().size(), 22u);
  const int cut = panes.AddStatusPanes(kTexts, nullptr, 10);  // only 3 fit
  EXPECT_EQ(cut & 0xFFFF, 3);
  EXPECT_EQ(cut >> 16, -13);  // right behind the base panes
  EXPECT_EQ(panes.Panes().size(), 25u);
  EXPECT_EQ(panes.AddStatusPanes(kTexts, nullptr, 1), -1);
  EXPECT_EQ(panes.NextGroupId(), 4);  // a group that did not fit takes no id
  EXPECT_EQ(panes.AddStatusPanes(kTexts, nullptr, 0), -1);
}

TEST_F(StatusPanesTest, GroupIdsWrapToTwo) {
  int last = 0;
  for (int i = 2; i <= 0xFFFF; ++i) {
    if (panes.Panes().size() == 25) panes.BarCreated();  // a fresh bar; the ids go on
    last = panes.AddStatusPanes(kTexts, nullptr, 1) & 0xFFFF;
    ASSERT_EQ(last, i);
  }
  EXPECT_EQ(last, 0xFFFF);
  EXPECT_EQ(panes.AddStatusPanes(kTexts, nullptr, 1) & 0xFFFF, 2);
  EXPECT_EQ(panes.NextGroupId(), 3);
}

TEST_F(StatusPanesTest, FewPanesStartTheStateAnew) {
  panes.SetStatusPanes(kTexts, nullptr, 0);
  panes.AddStatusPanes(kTexts, nullptr, 1);
  panes.RemoveStatusPanes();  // back to four panes
  panes.SetStatusPanes(kTexts, nullptr, 1);
  EXPECT_EQ(panes.AddStatusPanes(kTexts, nullptr, 1) & 0xFFFF, 2);
}

TEST_F(StatusPanesTest, Colours) {
  panes.SetStatusPanes(kTexts, nullptr, 2);
  EXPECT_EQ(panes.SetStatusPaneText(0, "red", 1, 0x0000FF, -1), 1);
  StatusPane p = panes.Panes()[1];
  EXPECT_TRUE(p.Colored());
  EXPECT_EQ(p.textColor, 0x0000FF);
  const int before = bar.changes;
  // Same colours, or negative colours on a plain pane: nothing to show.
  EXPECT_EQ(panes.SetStatusPaneColors(0, 1, 0x0000FF, -1), 1);
  EXPECT_EQ(panes.SetStatusPaneColors(1, 0, -1, -1), 1);
  EXPECT_EQ(bar.changes, before);
  EXPECT_EQ(panes.SetStatusPaneColors(0, 1, -1, 0x00FF00), 1);
  EXPECT_EQ(bar.shown[1].backColor, 0x00FF00);
  EXPECT_EQ(bar.shown[1].text, "red");
  EXPECT_EQ(panes.SetStatusPaneColors(0, 1, -1, -1), 1);
  EXPECT_FALSE(panes.Panes()[1].Colored());
  EXPECT_EQ(panes.Panes()[1].text, "red");
  panes.SetStatusPaneText(-1, "x", 0, 5, 6);
  panes.SetStatusPaneText(-1, "plain", 0, -1, -1);  // plain text drops the colours
  EXPECT_FALSE(panes.Panes()[2].Colored());
}

TEST_F(StatusPanesTest, MessageWords) {
  const int widths[] = {10, 20};
  const LPARAM set[3] = {reinterpret_cast<LPARAM>(kTexts), reinterpret_cast<LPARAM>(widths), 2};
  EXPECT_EQ(panes.OnStatusPaneCall(0, set), 2);
  const LPARAM add[3] = {reinterpret_cast<LPARAM>(kTexts), 0, 1};
  EXPECT_EQ(panes.OnStatusPaneCall(3, add) & 0xFFFF, 2);
  const LPARAM text[5] = {-1, reinterpret_cast<LPARAM>("grp"), 0, 0x123456, -1};
  EXPECT_EQ(panes.OnStatusPaneCall(1, text), 1);
  EXPECT_EQ(Text(3), "grp");
  const LPARAM colors[4] = {0, 0, -1, 0x654321};
  EXPECT_EQ(panes.OnStatusPaneCall(4, colors), 1);
  EXPECT_EQ(panes.Panes()[1].backColor, 0x654321);
  EXPECT_EQ(panes.OnStatusPaneCall(1, nullptr), 0);
  EXPECT_EQ(panes.OnStatusPaneCall(2, nullptr), 6);
}

TEST_F(StatusPanesTest, CallsFromOtherThreads) {
  panes.SetStatusPanes(kTexts, nullptr, 1);
  std::vector<std::thread> threads;
  std::vector<std::vector<int>> results(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        results[static_cast<std::size_t>(t)].push_back(panes.AddStatusPanes(kTexts, nullptr, 2));
        panes.SetStatusPaneText(-1, "t", 0, t, -1);
        if (i % 10 == 9) panes.RemoveStatusPanes();
      }
    });
  for (auto& t : threads) kpwtest::JoinWithin(t, "a thread adding and removing panes");
  EXPECT_LE(panes.Panes().size(), 25u);
  EXPECT_EQ(bar.shown.size(), panes.Panes().size());
  std::set<int> ids;
  int added = 0;
  for (const auto& r : results)
    for (int v : r)
      if (v != -1) ids.insert(v & 0xFFFF), ++added;
  EXPECT_EQ(static_cast<int>(ids.size()), added);  // every group got its own id
  EXPECT_EQ(panes.NextGroupId(), 2 + added);
}

// The indicators: the last three panes whatever is added before them; only SetLockKeys writes there.
TEST_F(StatusPanesTest, LockKeysFillTheIndicatorsAndStayLast) {
  const auto indicators = [&] {
    const auto p = panes.Panes();
    return std::vector<std::string>{p[p.size() - 3].text, p[p.size() - 2].text, p[p.size() - 1].text};
  };
  using Texts = std::vector<std::string>;
  EXPECT_EQ(indicators(), (Texts{"", "", ""}));
  EXPECT_TRUE(panes.SetLockKeys(LockKeyState{true, false, true}));
  EXPECT_EQ(indicators(), (Texts{"UF", "", "RF"}));
  EXPECT_EQ(bar.shown, panes.Panes());
  // Only the panes that change are told, and nothing when the state stays.
  int before = bar.changes;
  EXPECT_TRUE(panes.SetLockKeys(LockKeyState{true, true, true}));
  EXPECT_EQ(bar.changes, before + 1);
  before = bar.changes;
  EXPECT_FALSE(panes.SetLockKeys(LockKeyState{true, true, true}));
  EXPECT_EQ(bar.changes, before);

  // Panes come and go in front of them; callers cannot write into them.
  panes.SetStatusPanes(kTexts, nullptr, 3);
  panes.AddStatusPanes(kTexts, nullptr, 2);
  EXPECT_EQ(indicators(), (Texts{"UF", "NUM", "RF"}));
  EXPECT_EQ(panes.SetStatusPaneText(5, "x", 0, -1, -1), 0);
  EXPECT_EQ(panes.SetStatusPaneColors(5, 0, 1, 1), 0);
  panes.RemoveStatusPanes();
  EXPECT_EQ(indicators(), (Texts{"UF", "NUM", "RF"}));
  EXPECT_EQ(bar.shown, panes.Panes());

  // States that cannot be read empty all three; a new bar shows the state last set.
  EXPECT_TRUE(panes.SetLockKeys(std::nullopt));
  EXPECT_EQ(indicators(), (Texts{"", "", ""}));
  panes.BarDestroyed();
  EXPECT_TRUE(panes.SetLockKeys(LockKeyState{false, true, false}));
  EXPECT_TRUE(panes.Panes().empty());
  panes.BarCreated();
  EXPECT_EQ(indicators(), (Texts{"", "NUM", ""}));
  EXPECT_EQ(bar.shown, panes.Panes());
}

}  // namespace
