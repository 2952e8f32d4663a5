#include "I.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "Capture.hpp"
#include "ITestSupport.hpp"
#include "Processe.hpp"
#include "SrcFile.hpp"
#include "Tk.hpp"
#include "Utility.hpp"

using namespace zolt::test;

namespace {

// The widget of an RObj as the virtual display keeps it.
TkVirtual_Info W(I_Context ctx, std::int32_t robj) {
  return TkVirtual_Inspect(I_AccessWidget(ctx, robj));
}

struct Calls {
  int n = 0;
  std::int32_t id = 0;
  std::int64_t value = 0;
  std::string text;
};
void IntCB(I_Context, std::int32_t id, std::int32_t v, void* arg) {
  auto* c = static_cast<Calls*>(arg);
  ++c->n, c->id = id, c->value = v;
}
void BoolCB(I_Context, std::int32_t id, bool v, void* arg) {
  auto* c = static_cast<Calls*>(arg);
  ++c->n, c->id = id, c->value = v;
}
void StrCB(I_Context, std::int32_t id, StrIn v, void* arg) {
  auto* c = static_cast<Calls*>(arg);
  ++c->n, c->id = id, c->text = v.str();
}
void GenCB(I_Context, std::int32_t id, std::span<const std::uint8_t> v, void* arg) {
  auto* c = static_cast<Calls*>(arg);
  ++c->n, c->id = id, c->value = static_cast<std::int64_t>(v.size());
}

void UserDoes(Tk_Backend* tk, Tk_Event::Kind kind, Tk_Widget w, std::string text = "",
              int index = 0) {
  Tk_Event e;
  e.kind = kind;
  e.widget = w;
  e.text = std::move(text);
  e.index = index;
  tk->Inject(e);
  I_LoopIteration();
}

using ICreate = DialogTest;

TEST_F(ICreate, UnknownNameAndMissingDisplayAreReported) {
  I_Context ctx = I_Nil();
  EXPECT_EQ(Reported([&] { ctx = I_Create("NoSuchDialog", true); }), 1u);
  EXPECT_EQ(ctx, nullptr);
  TkVirtual_Close();
  EXPECT_EQ(Reported([&] { ctx = I_Create("T_Main", true); }), 4u);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(Reported([] { I_Activate(nullptr); }), 4u);
  EXPECT_EQ(Reported([] { I_Dialog(nullptr); }), 4u);
}

TEST_F(ICreate, FirstActivatedContextBecomesMainAndDestroyClearsIt) {
  I_Context a = I_Create("T_Main", false);
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(I_Active(a));
  EXPECT_EQ(I_MainContext(), nullptr);
  I_Activate(a);
  EXPECT_TRUE(I_Active(a));
  EXPECT_TRUE(W(a, -1).visible);
  EXPECT_EQ(W(a, -1).label, "Test");
  I_Context b = I_Create("T_Child", true);
  EXPECT_TRUE(I_Equal(I_MainContext(), a));
  EXPECT_EQ(I_ActiveCount(), 2u);
  I_Deactivate(b);
  EXPECT_FALSE(W(b, -1).visible);
  EXPECT_EQ(I_ActiveCount(), 1u);
  I_Destroy(a);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(I_MainContext(), nullptr);
  EXPECT_EQ(I_ActiveCount(), 0u);
  I_Destroy(b);
  EXPECT_TRUE(TkVirtual_Shells().empty());
}

using IValues = DialogTest;

TEST_F(IValues, PutAndGetEveryTypeShowInTheWidgets) {
  I_Context c = I_Create("T_Main", true);
  I_PutBOOLEAN(c, 2, true);
  I_PutINTEGER(c, 3, -42);
  I_PutCARDINAL(c, 4, 4000000000u);
  I_PutREAL(c, 5, 2.25);
  I_PutSTRING(c, 6, "order 17");
  const std::uint8_t blob[3] = {1, 2, 3};
  I_PutGeneric(c, 8, blob);
  EXPECT_TRUE(I_GetBOOLEAN(c, 2));
  EXPECT_EQ(I_GetINTEGER(c, 3), -42);
  EXPECT_EQ(I_GetCARDINAL(c, 4), 4000000000u);
  EXPECT_DOUBLE_EQ(I_GetREAL(c, 5), 2.25);
  char s[512];
  I_GetSTRING(c, 6, s);
  EXPECT_STREQ(s, "order 17");
  std::uint8_t back[3] = {};
  I_GetGeneric(c, 8, back);
  EXPECT_EQ(std::memcmp(back, blob, 3), 0);
  EXPECT_TRUE(W(c, 2).state);
  EXPECT_EQ(W(c, 3).text, "-42");
  EXPECT_EQ(W(c, 4).text, "4000000000");
  EXPECT_EQ(W(c, 5).text, "2.2");  // one decimal by the layout
  EXPECT_EQ(W(c, 6).text, "order 17");
  EXPECT_EQ(W(c, 12).text, "order 17");  // every widget bound to the AObj
  EXPECT_EQ(W(c, 6).columns, 8);         // from the template chain
}

TEST_F(IValues, ErrorsReportAndChangeNothing) {
  I_Context c = I_Create("T_Main", true);
  I_PutINTEGER(c, 3, 7);
  EXPECT_EQ(Reported([&] { I_PutINTEGER(c, 99, 1); }), 2u);
  Messages_IgnoreErrors(true);
  I_PutSTRING(c, 99, "x");
  char info[512];
  std::string reasons;
  while (Messages_ErrorReason(info)) reasons += StrIn(info).str() + "\n";
  Messages_IgnoreErrors(false);
  EXPECT_NE(reasons.find("In dialog context: T_Main AObjID: 99"), std::string::npos) << reasons;

  EXPECT_EQ(Reported([&] { I_PutBOOLEAN(c, 3, true); }), 3u);
  EXPECT_EQ(Reported([&] { I_PutSTRING(c, 3, "x"); }), 3u);
  EXPECT_EQ(I_GetINTEGER(c, 3), 7);
  EXPECT_EQ(W(c, 3).text, "7");
  const std::uint8_t four[4] = {};
  EXPECT_EQ(Reported([&] { I_PutGeneric(c, 8, four); }), 3u);
  EXPECT_EQ(Reported([&] { (void)I_GetREAL(c, 3); }), 3u);
  EXPECT_EQ(Reported([&] { (void)I_GetBOOLEAN(c, 42); }), 2u);
  EXPECT_EQ(Reported([&] { I_SetBOOLEANcallback(c, 3, BoolCB, nullptr); }), 3u);
  I_PutINTEGER(c, 3, 8);
  EXPECT_EQ(I_ilibError, 0u);  // cleared by the next operation
}

TEST_F(IValues, BooleanAndIntegerPutsOfTheCurrentValueDoNotTouchWidgets) {
  I_Context c = I_Create("T_Main", true);
  I_PutBOOLEAN(c, 2, true);
  I_PutINTEGER(c, 3, 5);
  const int flagUpdates = W(c, 2).updates, countUpdates = W(c, 3).updates;
  I_PutBOOLEAN(c, 2, true);
  I_PutINTEGER(c, 3, 5);
  EXPECT_EQ(W(c, 2).updates, flagUpdates);
  EXPECT_EQ(W(c, 3).updates, countUpdates);
  I_PutREAL(c, 5, 0);  // other types always update
  const int sizeUpdates = W(c, 5).updates;
  I_PutREAL(c, 5, 0);
  EXPECT_EQ(W(c, 5).updates, sizeUpdates + 1);
}

TEST_F(IValues, UserChangesRunCallbacksButPutsNever) {
  I_Context c = I_Create("T_Main", true);
  Calls flag, count, name, buttons;
  I_SetBOOLEANcallback(c, 2, BoolCB, &flag);
  I_SetINTEGERcallback(c, 3, IntCB, &count);
  I_SetSTRINGcallback(c, 6, StrCB, &name);
  I_SetINTEGERcallback(c, 1, IntCB, &buttons);
  I_PutBOOLEAN(c, 2, true);
  I_PutINTEGER(c, 3, 9);
  I_PutSTRING(c, 6, "x");
  EXPECT_EQ(flag.n + count.n + name.n, 0);

  UserDoes(tk_, Tk_Event::toggle, I_AccessWidget(c, 2));
  EXPECT_EQ(flag.n, 1);
  EXPECT_EQ(flag.value, 0);
  EXPECT_FALSE(I_GetBOOLEAN(c, 2));
  UserDoes(tk_, Tk_Event::typeText, I_AccessWidget(c, 3), "12");
  EXPECT_EQ(count.n, 1);
  EXPECT_EQ(count.value, 12);
  UserDoes(tk_, Tk_Event::typeText, I_AccessWidget(c, 3), "12x");  // not a number
  EXPECT_EQ(count.n, 1);
  EXPECT_EQ(W(c, 3).text, "12");
  UserDoes(tk_, Tk_Event::typeText, I_AccessWidget(c, 6), "new name");
  EXPECT_EQ(name.text, "new name");
  EXPECT_EQ(W(c, 12).text, "new name");
  UserDoes(tk_, Tk_Event::press, I_AccessWidget(c, 10));
  EXPECT_EQ(buttons.n, 1);
  EXPECT_EQ(buttons.id, 1);
  EXPECT_EQ(buttons.value, 2);
  EXPECT_EQ(I_GetINTEGER(c, 1), 2);
}

TEST_F(IValues, ListRecordsAreShownAndClicksToggleTheirSelection) {
  I_Context c = I_Create("T_Main", true);
  I_ListRec recs[3] = {};
  for (int i = 0; i < 3; ++i) {
    std::snprintf(recs[i].text, sizeof recs[i].text, "line %d", i);
    recs[i].next = i < 2 ? &recs[i + 1] : nullptr;
  }
  recs[1].colour = {0, 0, 255};
  Calls cb;
  I_SetGenericCallback(c, 7, GenCB, &cb);
  I_PutList(c, 7, &recs[0]);
  const auto shown = W(c, 7).lines;
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[2].text, "line 2");
  EXPECT_EQ(shown[1].blue, 255u);
  UserDoes(tk_, Tk_Event::click, I_AccessWidget(c, 7), "", 1);
  EXPECT_EQ(recs[1].selected, 1);
  EXPECT_EQ(cb.n, 1);
  EXPECT_EQ(cb.value, static_cast<std::int64_t>(sizeof(void*)));
  EXPECT_FALSE(I_WasDoubleClick());
  UserDoes(tk_, Tk_Event::click, I_AccessWidget(c, 7), "", 1);
  EXPECT_EQ(recs[1].selected, 0);
  UserDoes(tk_, Tk_Event::doubleClick, I_AccessWidget(c, 7), "", 2);
  EXPECT_EQ(recs[2].selected, 1);
  EXPECT_TRUE(I_WasDoubleClick());
  EXPECT_EQ(I_GetList<I_ListRec>(c, 7), &recs[0]);
}

// A single and a multiple list side by side, and a column of buttons.
const char* kPickLayout = R"(template one extends list select=single
context T_Pick
  aobj 1 buttons INTEGER
  aobj 2 single LIST
  aobj 3 multiple LIST
  robj 1 shell shell
    robj 2 side box orient=horizontal
      robj 3 single one aobj=2
      robj 4 multiple list aobj=3 select=multiple
      robj 5 column box orient=vertical
        robj 6 a button aobj=1 value=1 label=A
    robj 7 plain list aobj=3
end
)";

TEST_F(IValues, SelectionModeDecidesWhatAClickDoesToTheOtherLines) {
  ASSERT_TRUE(IdlgCat_LoadFile(CompileLayout("pick", kPickLayout)));
  I_Context c = I_Create("T_Pick", true);
  ASSERT_NE(c, nullptr);
  // The layout's words reach the widgets; a plain list selects several lines.
  EXPECT_EQ(W(c, 3).select, Tk_selectSingle);
  EXPECT_EQ(W(c, 4).select, Tk_selectMultiple);
  EXPECT_EQ(W(c, 7).select, Tk_selectMultiple);
  EXPECT_EQ(W(c, 2).orient, Tk_orientHorizontal);
  EXPECT_EQ(W(c, 5).orient, Tk_orientVertical);
  EXPECT_EQ(W(c, 1).orient, Tk_orientAuto);

  I_ListRec one[3] = {}, many[3] = {};
  for (int i = 0; i < 3; ++i) {
    one[i].next = i < 2 ? &one[i + 1] : nullptr;
    many[i].next = i < 2 ? &many[i + 1] : nullptr;
  }
  many[1].selected = 1;
  one[0].selected = one[1].selected = 1;  // the program may show several; a click ends that
  I_PutList(c, 2, &one[0]);
  I_PutList(c, 3, &many[0]);
  const auto flags = [](const I_ListRec* r) {
    std::string f;
    for (; r != nullptr; r = r->next) f += r->selected ? '1' : '0';
    return f;
  };
  const struct {
    std::int32_t robj;
    Tk_Event::Kind kind;
    int line;
    const char* single;
    const char* multiple;
  } steps[] = {
      {3, Tk_Event::click, 2, "001", "010"},        // selects alone
      {3, Tk_Event::click, 2, "001", "010"},        // stays selected
      {3, Tk_Event::doubleClick, 0, "100", "010"},  // moves the selection
      {3, Tk_Event::click, 5, "100", "010"},        // no such line: nothing
      {4, Tk_Event::click, 0, "100", "110"},        // adds, the other list untouched
      {4, Tk_Event::click, 1, "100", "100"},        // toggles off
      {4, Tk_Event::doubleClick, 0, "100", "100"},  // a double click never deselects
      {4, Tk_Event::click, 2, "100", "101"},
  };
  for (const auto& s : steps) {
    UserDoes(tk_, s.kind, I_AccessWidget(c, s.robj), "", s.line);
    EXPECT_EQ(flags(&one[0]), s.single) << s.robj << " line " << s.line;
    EXPECT_EQ(flags(&many[0]), s.multiple) << s.robj << " line " << s.line;
  }
  // Set by number, the attributes take only their own widget class and known values.
  const auto set = [&](std::int32_t robj, int attr, std::int32_t v) {
    return Reported([&] {
      I_SetReprAttr(c, robj, attr, std::span(reinterpret_cast<const std::uint8_t*>(&v), 4));
    });
  };
  EXPECT_EQ(set(7, Tk_attrSelect, Tk_selectSingle), 0u);
  EXPECT_EQ(W(c, 7).select, Tk_selectSingle);
  EXPECT_EQ(set(7, Tk_attrSelect, 2), 6u);
  EXPECT_EQ(set(5, Tk_attrSelect, Tk_selectSingle), 6u);
  EXPECT_EQ(set(7, Tk_attrOrient, Tk_orientVertical), 6u);
  EXPECT_EQ(set(5, Tk_attrOrient, 3), 6u);
  EXPECT_EQ(W(c, 5).orient, Tk_orientVertical);
}

TEST_F(IValues, SensitivityForOneAObjTheWholeContextAndItsChildren) {
  I_Context parent = I_Create("T_Main", true);
  I_Context child = nullptr;
  struct Arg {
    I_Context* child;
  } arg{&child};
  // A context created while the parent's modal loop runs becomes its child.
  I_QueueIdleTask(
      [](void* a) {
        *static_cast<Arg*>(a)->child = I_Create("T_Child", true);
        I_Deactivate(I_MainContext());
      },
      &arg);
  I_Dialog(parent);
  ASSERT_NE(child, nullptr);
  I_Activate(parent);
  I_Activate(child);
  I_Disable(parent, 2);
  EXPECT_FALSE(W(parent, 2).sensitive);
  EXPECT_TRUE(W(parent, 3).sensitive);
  I_Disable(parent, 0);
  EXPECT_FALSE(W(parent, 3).sensitive);
  EXPECT_FALSE(W(child, 2).sensitive);
  I_SetEnabled(parent, 0, true);
  EXPECT_TRUE(W(child, 3).sensitive);
  EXPECT_EQ(Reported([&] { I_Enable(parent, 77); }), 2u);
  // A disabled button cannot be pressed.
  Calls buttons;
  I_SetINTEGERcallback(parent, 1, IntCB, &buttons);
  I_Disable(parent, 1);
  UserDoes(tk_, Tk_Event::press, I_AccessWidget(parent, 9));
  EXPECT_EQ(buttons.n, 0);
  // Destroying the parent takes the child along.
  I_Destroy(parent);
  EXPECT_TRUE(TkVirtual_Shells().empty());
}

TEST_F(IValues, WhenAttributeFollowsTheValueOfItsAObj) {
  I_Context c = I_Create("T_Main", true);
  EXPECT_TRUE(W(c, 10).sensitive);  // kind 0
  I_PutINTEGER(c, 10, 1);
  EXPECT_FALSE(W(c, 10).sensitive);
  I_PutINTEGER(c, 10, 2);
  EXPECT_TRUE(W(c, 10).sensitive);
}

TEST_F(IValues, ReprAttributes) {
  I_Context c = I_Create("T_Main", true);
  const std::int32_t cols = 30;
  I_SetReprAttr(c, 6, Tk_attrColumns, std::span(reinterpret_cast<const std::uint8_t*>(&cols), 4));
  EXPECT_EQ(I_ilibError, 0u);
  EXPECT_EQ(W(c, 6).columns, 30);
  EXPECT_EQ(Reported([&] {
              I_SetReprAttr(c, 55, Tk_attrColumns,
                            std::span(reinterpret_cast<const std::uint8_t*>(&cols), 4));
            }),
            5u);
  EXPECT_EQ(Reported([&] {
              I_SetReprAttr(c, 6, Tk_attrColumns,
                            std::span(reinterpret_cast<const std::uint8_t*>(&cols), 2));
            }),
            6u);
  EXPECT_EQ(Reported([&] { I_SetReprAttr(c, 6, 999, {}); }), 6u);
  EXPECT_EQ(I_AccessWidget(c, 55), nullptr);
  EXPECT_EQ(I_AccessWidget(c, -1), I_AccessWidget(c, 1));  // -1 is the shell
}

using ILoop = DialogTest;

void DestroyOwnContext(I_Context ctx, std::int32_t, std::int32_t, void* arg) {
  auto* probe = static_cast<std::pair<I_Context*, std::size_t>*>(arg);
  I_Destroy(*probe->first);
  probe->second = TkVirtual_Shells().size();  // still there while the loop runs
}

TEST_F(ILoop, DestroyFromInsideItsOwnModalLoopIsDeferred) {
  I_Context c = I_Create("T_Main", true);
  I_Context handle = c;
  std::pair<I_Context*, std::size_t> probe{&handle, 0};
  I_SetINTEGERcallback(c, 1, DestroyOwnContext, &probe);
  Tk_Event e;
  e.kind = Tk_Event::press;
  e.widget = I_AccessWidget(c, 9);
  tk_->Inject(e);
  I_Dialog(c);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(probe.second, 1u);
  EXPECT_TRUE(TkVirtual_Shells().empty());
}

struct TaskLog {
  std::vector<std::pair<int, std::int64_t>> runs;  // (tag, time)
  int reschedules = 0;
  std::int32_t rescheduledAs = -2;
};
TaskLog taskLog;
void Tag1(void*) { taskLog.runs.emplace_back(1, Utility_GetCurrentTimeMillis()); }
void Tag2(void*) {
  taskLog.runs.emplace_back(2, Utility_GetCurrentTimeMillis());
  if (taskLog.reschedules-- > 0) taskLog.rescheduledAs = I_RescheduleTask(100);
}
void Idle(void*) { taskLog.runs.emplace_back(9, Utility_GetCurrentTimeMillis()); }
void Stop(void*) { I_Deactivate(I_MainContext()); }

TEST_F(ILoop, ScheduledTasksRunInTimeOrderRescheduleAndCancel) {
  taskLog = {};
  taskLog.reschedules = 2;
  I_Context c = I_Create("T_Main", true);
  const std::int64_t t0 = Utility_GetCurrentTimeMillis();
  const std::int32_t a = I_ScheduleTask(300, Tag1, nullptr);
  const std::int32_t b = I_ScheduleTask(50, Tag2, nullptr);
  const std::int32_t gone = I_ScheduleTask(10, Tag1, nullptr);
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(gone, a + 2);
  I_CancelScheduledTask(gone);
  I_QueueIdleTask(Idle, nullptr);
  I_ScheduleTask(1000, Stop, nullptr);
  EXPECT_EQ(I_RescheduleTask(10), I_nilTask);  // not inside a task
  I_Dialog(c);
  std::vector<std::pair<int, std::int64_t>> rel;
  for (auto [tag, t] : taskLog.runs) rel.emplace_back(tag, t - t0);
  const std::vector<std::pair<int, std::int64_t>> want = {
      {9, 0}, {2, 50}, {2, 150}, {2, 250}, {1, 300}};
  EXPECT_EQ(rel, want);
  EXPECT_EQ(taskLog.rescheduledAs, b);
}

struct Nested {
  int outerRuns = 0;
  std::int32_t outerNumber = -1, rescheduledAs = -1;
};
Nested nested;
void Inner(void*) { I_Deactivate(Ibase_FindActive("T_Child")); }
void Outer(void*) {
  if (++nested.outerRuns == 2) {
    I_Deactivate(I_MainContext());
    return;
  }
  I_Context child = I_Create("T_Child", true);
  I_ScheduleTask(10, Inner, nullptr);
  I_Dialog(child);  // a modal dialog inside a task runs another task
  I_Destroy(child);
  nested.rescheduledAs = I_RescheduleTask(100);
}

TEST_F(ILoop, ATaskThatRunsAModalDialogStillReschedulesItself) {
  nested = {};
  I_Context c = I_Create("T_Main", true);
  nested.outerNumber = I_ScheduleTask(0, Outer, nullptr);
  I_Dialog(c);
  EXPECT_EQ(nested.outerRuns, 2);
  EXPECT_EQ(nested.rescheduledAs, nested.outerNumber);
}

int hookCalls = 0;
TEST_F(ILoop, ButtonHookRunsBeforePointerEventsOnly) {
  I_Context c = I_Create("T_Main", true);
  Calls buttons;
  I_SetINTEGERcallback(c, 1, IntCB, &buttons);
  I_SetButtonHook([] { ++hookCalls; });
  Tk_Event press;
  press.kind = Tk_Event::press;
  press.widget = I_AccessWidget(c, 9);
  press.button = true;
  tk_->Inject(press);
  I_LoopIteration();
  EXPECT_EQ(hookCalls, 1);
  EXPECT_EQ(buttons.n, 1);
  UserDoes(tk_, Tk_Event::typeText, I_AccessWidget(c, 6), "typed");
  EXPECT_EQ(hookCalls, 1);
}

void OnClose(I_Context, bool leaving, void* arg) {
  static_cast<std::vector<bool>*>(arg)->push_back(leaving);
}

TEST_F(ILoop, WindowManagerCloseDeactivatesAndLeavesForTheMainContext) {
  I_Context main = I_Create("T_Main", true);
  I_Context other = I_Create("T_Child", true);
  std::vector<bool> closes;
  I_SetCloseCallback(main, OnClose, &closes);
  I_SetCloseCallback(other, OnClose, &closes);
  UserDoes(tk_, Tk_Event::close, I_AccessWidget(other, -1));
  EXPECT_FALSE(I_Active(other));
  UserDoes(tk_, Tk_Event::close, I_AccessWidget(main, -1));
  EXPECT_EQ(closes, (std::vector<bool>{false, true}));
  I_MainLoop();  // the leave flag is set: returns at once
}

TEST_F(ILoop, TerminationSignalLeavesTheLoopThroughTheMainCloseCallback) {
  I_Context main = I_Create("T_Main", true);
  std::vector<bool> closes;
  I_SetCloseCallback(main, OnClose, &closes);
  I_ScheduleTask(
      10, [](void*) { Processe_Kill(Processe_GetPID(), Processe_SIGTERM); }, nullptr);
  I_ScheduleTask(60000, Stop, nullptr);
  I_MainLoop();
  EXPECT_EQ(closes, std::vector<bool>{true});
  EXPECT_TRUE(I_Active(main));
}

// ---- Persistent values ----

TEST(IPersistent, StringValueSurvivesARestartThroughTheSettingsFile) {
  const std::string drf = [] {
    I_Init();
    return CompileLayout("test", kTestLayout);
  }();
  auto run = [&](bool first) {
    return RunInChild([&] {
      TkVirtual_Init();
      TkVirtual_Open(true);
      SrcFile_Load(StrIn::FromC(Processe_ProgramName()));
      IdlgCat_LoadFile(drf);
      I_Context c = I_Create("T_Main", false);
      char s[512];
      I_GetSTRING(c, 9, s);
      std::fprintf(stderr, "[%s]", s);
      if (first) {
        I_PutSTRING(c, 9, "/projects/orders");
        SrcFile_Save(SrcFile_home);
      }
      I_Destroy(c);
      std::fprintf(stderr, "%d", SrcFile_IsDefined("T_Main_remembered") ? 1 : 0);
    });
  };
  EXPECT_EQ(run(true).err, "[]0");
  EXPECT_EQ(run(false).err, "[/projects/orders]0");
}

}  // namespace

// ---- The catalogues the programs use ----

namespace {

struct Expected {
  const char* context;
  std::vector<std::pair<std::int32_t, I_Type>> aobjs;
};

std::vector<Expected> ExpectedContexts() {
  const I_Type B = I_BOOLEAN, N = I_INTEGER, R = I_REAL, S = I_STRING, G = I_Generic;
  const std::vector<std::pair<std::int32_t, I_Type>> box = {{1, S}, {2, N}};
  return {
      {"Imisc_errmsg", box},
      {"Imisc_yes", box},
      {"Imisc_yesDestroys", box},
      {"Imisc_timedNotify", box},
      {"Imisc_timedNotifyOK", box},
      {"Imisc_ErrExpl", box},
      {"AskContinue", box},
      {"Vuvedur_Bck",
       {{1, N},
        {2, B},
        {3, B},
        {4, G},
        {5, S},
        {6, B},
        {7, R},
        {8, G},
        {9, S},
        {10, S},
        {11, R},
        {12, N},
        {13, S},
        {15, G},
        {16, R},
        {17, R},
        {18, R}}},
      {"Vuvedur_Rst",
       {{1, N},
        {4, G},
        {5, S},
        {7, R},
        {8, G},
        {9, S},
        {10, S},
        {11, R},
        {12, N},
        {13, S},
        {15, G},
        {16, R},
        {17, R},
        {19, R},
        {20, S}}},
      {"Vuvedur_ChangeHosts", {{1, N}, {2, S}, {4, G}}},
      {"BkIact_ErrFiles", {{1, N}, {2, S}, {3, G}, {4, S}, {5, N}}},
      {"BkIact_DevSelect", {{1, N}, {2, S}, {3, G}}},
      {"BkIact_DevSelect_Archiv", {{1, N}, {2, S}, {3, G}}},
      {"BkIact_PrepWriteMedia", {{1, N}, {2, N}, {3, S}, {4, S}, {5, S}, {6, S}}},
      {"BkIact_ConfirmRecover", {{1, N}, {2, S}, {3, S}, {4, S}, {5, S}, {6, S}, {7, G}, {8, S}}},
      {"BkIact_ConfirmOverwrite", {{1, N}, {2, S}, {3, S}, {4, S}, {5, S}}},
      {"BkStoreI_Label", {{1, N}, {2, S}, {3, S}, {4, B}}},
      {"BkStoreI_Search", {{1, N}, {2, S}, {3, S}}},
      {"BkStoreI_SelectMedia",
       {{1, N}, {2, N}, {3, B}, {4, G}, {5, G}, {6, B}, {20, S}, {21, S}, {22, S}, {23, S}}},
      {"BkJukeI_Manage", {{1, N}, {2, G}, {4, N}, {5, G}, {6, S}, {7, S}}},
      {"BkStoreI_Resources", {{1, N}, {2, S}, {3, G}, {4, S}}},
  };
}

// Button values a context offers on an AObj, from its widgets.
std::vector<std::int32_t> ButtonValues(I_Context ctx, std::int32_t id) {
  std::vector<std::int32_t> values;
  for (Ibase_RObj* r : Ibase_AObjOf(ctx, id)->widgets)
    if (r->kind == Tk_Kind::button) values.push_back(TkVirtual_Inspect(r->widget).value);
  return values;
}

// The application's catalogue on the virtual display, in the language of the parameter.
class Catalogues : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    setenv("LANGUAGE", GetParam(), 1);
    I_Init();
    TkVirtual_Init();
    TkVirtual_Open(true);
    I_UseContextCat("ZAREDAVdlg");
    ASSERT_EQ(I_ilibError, 0u);
  }
};

TEST_P(Catalogues, EveryContextIsCreatedWithItsAObjNumbersAndTypes) {
  std::size_t known = 0;
  for (const IdlgCat_Context* t : IdlgCat_AllContexts()) {
    EXPECT_STREQ(t->catalogue,
                 std::string_view(t->name).starts_with("Imisc") ? "zoltdlg.drf" : "ZAREDAVdlg.drf");
    ++known;
  }
  const auto expected = ExpectedContexts();
  EXPECT_EQ(known, expected.size());  // nothing unexpected either
  for (const auto& e : expected) {
    SCOPED_TRACE(e.context);
    I_Context c = I_Create(StrIn::FromC(e.context), true);
    ASSERT_NE(c, nullptr);
    std::vector<std::pair<std::int32_t, I_Type>> got;
    for (const auto& [n, a] : c->aobjs) {
      got.emplace_back(n, a.type);
      if (a.type == I_Generic) {
        EXPECT_EQ(a.size, sizeof(void*)) << n;  // every Generic is a list
        EXPECT_FALSE(a.widgets.empty()) << n;
      }
    }
    EXPECT_EQ(got, e.aobjs);
    EXPECT_NE(I_AccessWidget(c, 1), nullptr);
    I_Destroy(c);
  }
  EXPECT_TRUE(TkVirtual_Shells().empty());
  // The language's own catalogue was taken.
  I_Context bck = I_Create("Vuvedur_Bck", false);
  EXPECT_EQ(TkVirtual_Inspect(I_AccessWidget(bck, -1)).label,
            std::string_view(GetParam()) == "de" ? "Auftr\xE4ge sichern" : "Back up orders");
}

TEST_P(Catalogues, ButtonValuesAndChoicesPerDialogKind) {
  const struct {
    const char* context;
    std::int32_t aobj;
    std::vector<std::int32_t> values;
  } buttons[] = {
      {"Vuvedur_Bck", 1, {1, 2}},
      {"Vuvedur_Bck", 12, {4, 5}},
      {"Vuvedur_Rst", 12, {4, 5, 3}},
      {"Vuvedur_ChangeHosts", 1, {1, 2}},
      {"BkIact_DevSelect", 1, {1, 2}},
      {"BkIact_DevSelect_Archiv", 1, {1, 3, 2}},
      {"BkIact_ConfirmRecover", 1, {1, 2}},
      {"BkStoreI_Label", 1, {1, 2}},
      {"Imisc_yes", 2, {1, 2}},
      {"Imisc_yesDestroys", 2, {1, 2}},
      {"AskContinue", 2, {1, 2}},
      {"Imisc_timedNotify", 2, {}},
      {"Imisc_timedNotifyOK", 2, {1}},
      {"BkStoreI_SelectMedia", 2, {10, 11, 12, 15, 16, 20, 30}},
      {"BkJukeI_Manage", 4, {0, 1, 2}},
      {"BkStoreI_Resources", 1, {3, 2, 1}},
  };
  for (const auto& b : buttons) {
    I_Context c = I_Create(StrIn::FromC(b.context), true);
    EXPECT_EQ(ButtonValues(c, b.aobj), b.values) << b.context << " " << b.aobj;
    I_Destroy(c);
  }
  // The choices a write preparation offers follow its kind.
  I_Context p = I_Create("BkIact_PrepWriteMedia", true);
  auto offered = [&](std::int32_t kind) {
    I_PutINTEGER(p, 2, kind);
    std::vector<std::int32_t> values;
    for (Ibase_RObj* r : Ibase_AObjOf(p, 1)->widgets) {
      const TkVirtual_Info w = TkVirtual_Inspect(r->widget);
      // A choice not offered is not shown at all (cancel is always there).
      EXPECT_EQ(w.hidden, !w.sensitive) << w.name << " kind " << kind;
      if (w.sensitive) values.push_back(w.value);
    }
    return values;
  };
  EXPECT_EQ(offered(0), (std::vector<std::int32_t>{4, 1, 2, 0}));
  EXPECT_EQ(offered(1), (std::vector<std::int32_t>{5, 1, 2, 3, 0}));
  EXPECT_EQ(offered(6), (std::vector<std::int32_t>{1, 0}));
  EXPECT_EQ(offered(9), (std::vector<std::int32_t>{1, 0}));
  EXPECT_EQ(offered(8), (std::vector<std::int32_t>{1, 2, 3, 0}));
}

// Choices that destroy data are marked so, and only those: the Return key never presses
// them and no window opens with the keyboard on them.
TEST_P(Catalogues, DestructiveChoicesAreMarked) {
  const struct {
    const char* context;
    std::int32_t aobj;
    std::vector<std::int32_t> values;
  } marked[] = {
      {"BkIact_PrepWriteMedia", 1, {1, 2, 3}},
      {"BkIact_ConfirmOverwrite", 1, {1}},
      {"BkStoreI_Label", 1, {1}},
      {"BkStoreI_SelectMedia", 2, {16}},
      {"BkStoreI_Resources", 1, {3}},
      {"BkStoreI_SelectMedia", 1, {}},
      {"Imisc_yesDestroys", 2, {1}},
      {"Imisc_yes", 2, {}},
      {"BkIact_DevSelect_Archiv", 1, {}},
  };
  for (const auto& m : marked) {
    I_Context c = I_Create(StrIn::FromC(m.context), true);
    std::vector<std::int32_t> got;
    for (Ibase_RObj* r : Ibase_AObjOf(c, m.aobj)->widgets)
      if (TkVirtual_Inspect(r->widget).destructive)
        got.push_back(TkVirtual_Inspect(r->widget).value);
    EXPECT_EQ(got, m.values) << m.context;
    I_Destroy(c);
  }
}

// The program reads one line of some lists (the highlighted order, the device to use, the
// jukebox, the file whose error is shown); of the others any number of lines.
TEST_P(Catalogues, ListsThatTheProgramReadsOneLineOfAreSingleSelection) {
  const struct {
    const char* context;
    std::int32_t aobj;
    Tk_Select mode;
  } lists[] = {
      {"Vuvedur_Bck", 8, Tk_selectSingle},
      {"Vuvedur_Bck", 15, Tk_selectSingle},
      {"Vuvedur_Bck", 4, Tk_selectMultiple},
      {"Vuvedur_Rst", 8, Tk_selectSingle},
      {"Vuvedur_Rst", 15, Tk_selectSingle},
      {"Vuvedur_Rst", 4, Tk_selectMultiple},
      {"Vuvedur_ChangeHosts", 4, Tk_selectMultiple},
      {"BkIact_ErrFiles", 3, Tk_selectSingle},
      {"BkIact_DevSelect", 3, Tk_selectSingle},
      {"BkIact_DevSelect_Archiv", 3, Tk_selectSingle},
      {"BkStoreI_SelectMedia", 4, Tk_selectMultiple},
      {"BkJukeI_Manage", 2, Tk_selectSingle},
      {"BkJukeI_Manage", 5, Tk_selectMultiple},
      {"BkStoreI_Resources", 3, Tk_selectSingle},
  };
  for (const auto& l : lists) {
    I_Context c = I_Create(StrIn::FromC(l.context), true);
    ASSERT_NE(c, nullptr) << l.context;
    for (Ibase_RObj* r : Ibase_AObjOf(c, l.aobj)->widgets)
      EXPECT_EQ(TkVirtual_Inspect(r->widget).select, l.mode) << l.context << " " << l.aobj;
    I_Destroy(c);
  }
}

INSTANTIATE_TEST_SUITE_P(Languages, Catalogues, ::testing::Values("en", "de"));

}  // namespace
