// The X11 display under a private Xvfb server: real windows, real input through XTest,
// and the dialog framework's callbacks at the end of it.
#include "TkX11.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "I.hpp"
#include "IScript.hpp"
#include "ITestSupport.hpp"
#include "PrivateXvfb.hpp"

// Xlib's macros (True, None, Bool...) clash with GoogleTest's names: it comes last.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

using zolt::test::CompileLayout;
using zolt::test::kTestLayout;

int xErrors = 0;
int CountError(Display*, XErrorEvent*) {
  ++xErrors;
  return 0;
}

// The values the framework's callbacks saw.
struct Seen {
  int integers = 0, strings = 0, reals = 0, booleans = 0, lists = 0, closes = 0;
  std::int32_t integer = 0;
  std::string text;
  double real = 0;
  bool boolean = false, doubleClick = false, leaving = false;
} seen;

TEST(X11Open, UnreachableDisplayLeavesNoBackendInUse) {
  TkX11_Init();
  Tk_SetBackend(nullptr);
  EXPECT_EQ(TkX11_Open(":4711"), nullptr);
  EXPECT_EQ(Tk_Current(), nullptr);
  EXPECT_FALSE(Tk_DisplayOpen());
}

class X11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zolt::test::PrivateXvfb::Installed()) GTEST_SKIP() << "Xvfb is not installed";
    display_ = xvfb_.Start("1024x768x24");
    ASSERT_FALSE(display_.empty());
    seen = {};
    I_Init();
    TkX11_Init();
    XSetErrorHandler(CountError);
    ASSERT_NE(TkX11_Open(display_.c_str()), nullptr);
    user_ = XOpenDisplay(display_.c_str());
    ASSERT_NE(user_, nullptr);
    ASSERT_TRUE(IdlgCat_LoadFile(CompileLayout("test", kTestLayout)));
  }

  void TearDown() override {
    if (user_ != nullptr) XCloseDisplay(user_);
    TkX11_Close();
  }

  I_Context Main() {
    I_Context ctx = I_Create("T_Main", true);
    EXPECT_NE(ctx, nullptr);
    TkX11_Sync();
    return ctx;
  }

  // Runs the framework's loop until done() holds; false after 3 seconds.
  template <typename Done>
  bool Pump(Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      if (Tk_Current()->Wait(20)) I_LoopIteration();
    }
    return true;
  }

  void ClickAt(int x, int y) {
    XTestFakeMotionEvent(user_, 0, x, y, 0);
    XTestFakeButtonEvent(user_, 1, True, 0);
    XTestFakeButtonEvent(user_, 1, False, 0);
    XSync(user_, False);
  }
  // A click in the middle of the start of a list line.
  void ClickLine(Tk_Widget list, int line) {
    const TkX11_Rect r = TkX11_LineWhere(list, line);
    ClickAt(r.x + 10, r.y + r.height / 2);
  }
  // Shows records "<name> 0", "<name> 1", ... in the list of AObj id; its callback counts
  // the changes and notes whether a double click made them.
  template <std::size_t N>
  static void ShowList(I_Context ctx, std::int32_t id, I_ListRec (&recs)[N], const char* name) {
    for (std::size_t i = 0; i < N; ++i) {
      recs[i] = {i + 1 < N ? &recs[i + 1] : nullptr, 0, {}, {0, 0, 0}};
      std::snprintf(recs[i].text, sizeof recs[i].text, "%s %zu", name, i);
    }
    I_PutList(ctx, id, &recs[0]);
    I_SetGenericCallback(
        ctx, id,
        [](I_Context, std::int32_t, std::span<const std::uint8_t>, void*) {
          ++seen.lists;
          seen.doubleClick = I_WasDoubleClick();
        },
        nullptr);
  }
  void Click(I_Context ctx, std::int32_t robj) {
    const TkX11_Rect r = TkX11_Where(I_AccessWidget(ctx, robj));
    ASSERT_GT(r.width, 0);
    ClickAt(r.x + r.width / 2, r.y + r.height / 2);
  }
  void Key(KeySym sym, bool shift = false) {
    const KeyCode shiftCode = XKeysymToKeycode(user_, XK_Shift_L);
    if (shift) XTestFakeKeyEvent(user_, shiftCode, True, 0);
    const KeyCode code = XKeysymToKeycode(user_, sym);
    XTestFakeKeyEvent(user_, code, True, 0);
    XTestFakeKeyEvent(user_, code, False, 0);
    if (shift) XTestFakeKeyEvent(user_, shiftCode, False, 0);
    XSync(user_, False);
  }
  void Type(const std::string& text) {
    for (char c : text) {
      if (std::isupper(static_cast<unsigned char>(c))) {
        Key(static_cast<KeySym>(std::tolower(static_cast<unsigned char>(c))), true);
      } else {
        Key(static_cast<KeySym>(c));
      }
    }
  }

  std::string display_;
  zolt::test::PrivateXvfb xvfb_;
  Display* user_ = nullptr;
};

TEST_F(X11Test, ClickedButtonDeliversItsValueAndGreyedButtonNothing) {
  I_Context ctx = Main();
  I_SetINTEGERcallback(
      ctx, 1,
      [](I_Context, std::int32_t, std::int32_t v, void*) {
        ++seen.integers;
        seen.integer = v;
      },
      nullptr);
  Click(ctx, 10);  // Cancel
  ASSERT_TRUE(Pump([] { return seen.integers == 1; }));
  EXPECT_EQ(seen.integer, 2);
  Click(ctx, 9);  // OK
  ASSERT_TRUE(Pump([] { return seen.integers == 2; }));
  EXPECT_EQ(seen.integer, 1);
  // The layout makes Cancel usable only while AObj 10 holds 0 or 2.
  I_PutINTEGER(ctx, 10, 1);
  EXPECT_FALSE(Tk_Current()->IsSensitive(I_AccessWidget(ctx, 10)));
  Click(ctx, 10);
  EXPECT_FALSE(Pump([] { return seen.integers == 3; }));
}

TEST_F(X11Test, TypedTextWithEditingCommitsOnReturn) {
  I_Context ctx = Main();
  I_SetSTRINGcallback(
      ctx, 6,
      [](I_Context, std::int32_t, StrIn v, void*) {
        ++seen.strings;
        seen.text = v.str();
      },
      nullptr);
  Click(ctx, 6);
  Type("Jobx");
  Key(XK_BackSpace);
  Type(" 42");
  Key(XK_Home);
  Key(XK_Delete);
  Type("j");
  // Shift+Left twice selects "42"; what is typed then replaces it.
  Key(XK_End);
  Key(XK_Left, true);
  Key(XK_Left, true);
  Type("7");
  EXPECT_FALSE(Pump([] { return seen.strings > 0; })) << "nothing is committed before Return";
  Key(XK_Return);
  ASSERT_TRUE(Pump([] { return seen.strings == 1; }));
  EXPECT_EQ(seen.text, "job 7");
  // The label bound to the same value shows it too.
  EXPECT_EQ(Tk_Current()->ShownText(I_AccessWidget(ctx, 12)), "job 7");
}

TEST_F(X11Test, NumberFieldsTakeOnlyNumberCharacters) {
  I_Context ctx = Main();
  I_SetINTEGERcallback(
      ctx, 3,
      [](I_Context, std::int32_t, std::int32_t v, void*) {
        ++seen.integers;
        seen.integer = v;
      },
      nullptr);
  Click(ctx, 3);
  Key(XK_End);
  Key(XK_Home, true);  // selects the 0 shown, which typing replaces
  Type("1a2 3");
  Key(XK_Return);
  ASSERT_TRUE(Pump([] { return seen.integers == 1; }));
  EXPECT_EQ(seen.integer, 123);
}

TEST_F(X11Test, TabSkipsGreyedWidgetsAndSpaceTogglesTheFocus) {
  I_Context ctx = Main();
  I_SetREALcallback(
      ctx, 5,
      [](I_Context, std::int32_t, double v, void*) {
        ++seen.reals;
        seen.real = v;
      },
      nullptr);
  I_SetBOOLEANcallback(
      ctx, 2,
      [](I_Context, std::int32_t, bool v, void*) {
        ++seen.booleans;
        seen.boolean = v;
      },
      nullptr);
  I_Disable(ctx, 4);  // the amount field between count and size
  Click(ctx, 3);
  Key(XK_Tab);
  Key(XK_End);
  Key(XK_BackSpace);
  Key(XK_BackSpace);
  Key(XK_BackSpace);
  Key(XK_BackSpace);  // "0.0" and one more
  Type("2.5");
  Key(XK_Return);
  ASSERT_TRUE(Pump([] { return seen.reals == 1; }));
  EXPECT_DOUBLE_EQ(seen.real, 2.5);
  // Back over size and the greyed amount field to count, then to the check box.
  Key(XK_ISO_Left_Tab, true);
  Key(XK_ISO_Left_Tab, true);
  Key(XK_space);
  ASSERT_TRUE(Pump([] { return seen.booleans == 1; }));
  EXPECT_TRUE(seen.boolean);
}

TEST_F(X11Test, ListClicksToggleLinesAndADoubleClickIsReported) {
  I_Context ctx = Main();
  static I_ListRec recs[3] = {};
  ShowList(ctx, 7, recs, "order");
  TkX11_Sync();
  Tk_Widget list = I_AccessWidget(ctx, 7);
  ClickLine(list, 2);
  ASSERT_TRUE(Pump([] { return seen.lists == 1; }));
  EXPECT_FALSE(seen.doubleClick);
  EXPECT_EQ(recs[2].selected, 1);
  ClickLine(list, 1);
  ClickLine(list, 1);
  ASSERT_TRUE(Pump([] { return seen.lists == 3; }));
  EXPECT_TRUE(seen.doubleClick);
  EXPECT_EQ(recs[1].selected, 1);
  EXPECT_EQ(recs[2].selected, 1);
  EXPECT_EQ(recs[0].selected, 0);
}

TEST_F(X11Test, ListKeysMoveScrollAndReturnActsAsDoubleClick) {
  I_Context ctx = Main();
  static I_ListRec recs[10] = {};
  ShowList(ctx, 7, recs, "line");
  TkX11_Sync();
  Tk_Widget list = I_AccessWidget(ctx, 7);
  const TkX11_Rect box = TkX11_Where(list);
  ClickLine(list, 0);
  ASSERT_TRUE(Pump([] { return seen.lists == 1; }));
  for (int i = 0; i < 8; ++i) Key(XK_Down);
  Key(XK_Return);
  ASSERT_TRUE(Pump([] { return seen.lists == 2; }));
  EXPECT_TRUE(seen.doubleClick);
  EXPECT_EQ(recs[8].selected, 1);
  EXPECT_EQ(recs[0].selected, 1);
  // Line 8 was scrolled into view, line 0 out of it.
  const TkX11_Rect eighth = TkX11_LineWhere(list, 8);
  EXPECT_GE(eighth.y, box.y);
  EXPECT_LE(eighth.y + eighth.height, box.y + box.height);
  EXPECT_LT(TkX11_LineWhere(list, 0).y, box.y);
  Key(XK_space);  // Space toggles the line back without a double click
  ASSERT_TRUE(Pump([] { return seen.lists == 3; }));
  EXPECT_FALSE(seen.doubleClick);
  EXPECT_EQ(recs[8].selected, 0);
}

// Captions with fields of different widths and a single-selection list under them, then a
// list beside a column of buttons.
const char* kFormLayout = R"(context T_Form
  aobj 1 buttons INTEGER
  aobj 2 name STRING
  aobj 3 count INTEGER
  aobj 4 one LIST
  aobj 5 many LIST
  robj 1 shell shell label="Form"
    robj 2 fields box
      robj 3 nameLabel label label="Name:"
      robj 4 name text aobj=2 columns=12
      robj 5 countLabel label label="A much longer caption:"
      robj 6 count number aobj=3 columns=4
      robj 7 one list aobj=4 rows=4 columns=40 select=single
    robj 8 side box orient=horizontal
      robj 9 many list aobj=5 rows=2 columns=10
      robj 10 column box orient=vertical
        robj 11 a button aobj=1 value=1 label=A
        robj 12 b button aobj=1 value=2 label="Longer B"
        robj 13 c button aobj=1 value=3 label=C
end
)";

TEST_F(X11Test, FieldsAlignInTheirColumnAndAHorizontalBoxSetsItsChildrenSideBySide) {
  ASSERT_TRUE(IdlgCat_LoadFile(CompileLayout("form", kFormLayout)));
  I_Context ctx = I_Create("T_Form", true);
  ASSERT_NE(ctx, nullptr);
  TkX11_Sync();
  const auto at = [ctx](std::int32_t robj) { return TkX11_Where(I_AccessWidget(ctx, robj)); };
  const auto right = [](const TkX11_Rect& r) { return r.x + r.width; };
  const auto bottom = [](const TkX11_Rect& r) { return r.y + r.height; };
  // Both fields start after the longer caption and end where the list below them ends.
  EXPECT_EQ(at(4).x, at(6).x);
  EXPECT_GT(at(4).x, right(at(5)));
  EXPECT_EQ(right(at(4)), right(at(6)));
  EXPECT_EQ(right(at(4)), right(at(7)));
  EXPECT_LT(bottom(at(6)), at(7).y);
  // The buttons are stacked, equally wide; the list beside them is as tall as the column.
  for (std::int32_t b : {11, 12, 13}) {
    EXPECT_GE(at(b).x, right(at(9)) + 8) << b;
    EXPECT_EQ(at(b).x, at(11).x) << b;
    EXPECT_EQ(at(b).width, at(12).width) << b;
  }
  EXPECT_LT(bottom(at(11)), at(12).y);
  EXPECT_LT(bottom(at(12)), at(13).y);
  EXPECT_EQ(at(9).y, at(11).y);
  EXPECT_EQ(bottom(at(9)), bottom(at(13)));
  EXPECT_GT(at(9).y, bottom(at(7)));
  I_Destroy(ctx);
}

TEST_F(X11Test, SingleSelectionListKeepsOneLineByPointerAndKeyboard) {
  ASSERT_TRUE(IdlgCat_LoadFile(CompileLayout("form", kFormLayout)));
  I_Context ctx = I_Create("T_Form", true);
  ASSERT_NE(ctx, nullptr);
  static I_ListRec recs[4] = {};
  ShowList(ctx, 4, recs, "device");
  TkX11_Sync();
  const auto flags = [] {
    std::string f;
    for (const auto& r : recs) f += r.selected ? '1' : '0';
    return f;
  };
  Tk_Widget list = I_AccessWidget(ctx, 7);
  ClickLine(list, 0);
  ASSERT_TRUE(Pump([] { return seen.lists == 1; }));
  ClickLine(list, 2);
  ASSERT_TRUE(Pump([] { return seen.lists == 2; }));
  EXPECT_EQ(flags(), "0010");
  // Far enough apart in time not to count as a double click, which would select anyway.
  XTestFakeMotionEvent(user_, 0, 1, 1, 500);
  ClickLine(list, 2);
  ASSERT_TRUE(Pump([] { return seen.lists == 3; }));
  EXPECT_EQ(flags(), "0010") << "clicking the selected line keeps it";
  // The arrow moves without selecting; Space selects the line reached, alone.
  Key(XK_Down);
  TkX11_Sync();
  EXPECT_EQ(flags(), "0010");
  Key(XK_space);
  ASSERT_TRUE(Pump([] { return seen.lists == 4; }));
  EXPECT_EQ(flags(), "0001");
  I_Destroy(ctx);
}

TEST_F(X11Test, WindowManagerCloseCallsTheCloseCallback) {
  I_Context ctx = Main();
  I_SetCloseCallback(
      ctx,
      [](I_Context, bool leaving, void*) {
        ++seen.closes;
        seen.leaving = leaving;
      },
      nullptr);
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = TkX11_Window(ctx->shell);
  e.xclient.message_type = XInternAtom(user_, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(user_, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(user_, e.xclient.window, False, NoEventMask, &e);
  XSync(user_, False);
  ASSERT_TRUE(Pump([] { return seen.closes == 1; }));
  EXPECT_TRUE(seen.leaving);
  EXPECT_FALSE(I_Active(ctx));
  TkX11_Sync();
  XWindowAttributes a;
  XGetWindowAttributes(user_, e.xclient.window, &a);
  EXPECT_EQ(a.map_state, IsUnmapped);
}

// A choice that destroys data is not where the keyboard starts and Return does not press
// it (the space bar does); a hidden choice takes no room and is passed over by Tab.
TEST_F(X11Test, ReturnNeverPressesADestructiveChoiceAndHiddenChoicesTakeNoRoom) {
  ASSERT_TRUE(IdlgCat_LoadFile(CompileLayout("danger", R"(context T_Danger
  aobj 1 buttons INTEGER
  aobj 2 offered INTEGER
  robj 1 shell shell label="Danger"
    robj 2 note label label="Choose what happens to the medium"
    robj 3 row box
      robj 4 erase button aobj=1 value=1 label="Erase" destructive=1
      robj 5 extra button aobj=1 value=3 label="Extra choice" when=2:1 hide=1
      robj 6 keep button aobj=1 value=2 label="Keep"
end
)")));
  I_Context ctx = I_Create("T_Danger", true);
  ASSERT_NE(ctx, nullptr);
  I_SetINTEGERcallback(
      ctx, 1,
      [](I_Context, std::int32_t, std::int32_t v, void*) {
        ++seen.integers;
        seen.integer = v;
      },
      nullptr);
  TkX11_Sync();
  const int keepX = TkX11_Where(I_AccessWidget(ctx, 6)).x;
  Click(ctx, 2);  // the keyboard to the window, the focus where it starts
  Key(XK_Return);
  ASSERT_TRUE(Pump([] { return seen.integers == 1; }));
  EXPECT_EQ(seen.integer, 2);  // Keep
  Key(XK_Tab);                 // past the hidden choice to Erase
  Key(XK_Return);
  EXPECT_FALSE(Pump([] { return seen.integers == 2; }));
  Key(XK_space);
  ASSERT_TRUE(Pump([] { return seen.integers == 2; }));
  EXPECT_EQ(seen.integer, 1);
  // Offered, the extra choice appears between the two and moves Keep to the right.
  I_PutINTEGER(ctx, 2, 1);
  TkX11_Sync();
  EXPECT_GT(TkX11_Where(I_AccessWidget(ctx, 6)).x, keepX);
  Click(ctx, 5);
  ASSERT_TRUE(Pump([] { return seen.integers == 3; }));
  EXPECT_EQ(seen.integer, 3);
  I_Destroy(ctx);
}

TEST_F(X11Test, ScriptedDriverActsOnRealWidgets) {
  I_Context ctx = Main();
  I_SetSTRINGcallback(
      ctx, 6, [](I_Context, std::int32_t, StrIn v, void*) { seen.text = v.str(); }, nullptr);
  I_SetINTEGERcallback(
      ctx, 1,
      [](I_Context, std::int32_t, std::int32_t v, void*) {
        seen.integer = v;
        I_LeaveMainLoop();
      },
      nullptr);
  IScript_Init();
  const std::string tmp = std::getenv("TMP");
  const std::string shots = "shot T_Main " + tmp + "/main.ppm\nshot T_Main " + tmp + "/main.png\n";
  ASSERT_TRUE(
      IScript_StartText("wait T_Main\n"
                        "type T_Main 6 \"from a script\"\n"
                        "expect T_Main 6 \"from a script\"\n"
                        "toggle T_Main 2\n"
                        "expect T_Main 2 1\n" +
                            shots + "press T_Main 1 2\n",
                        "x11"));
  I_MainLoop();
  // The pictures have the window's size and show more than one colour.
  const TkX11_Rect where = TkX11_Where(ctx->shell);
  std::ifstream ppm(tmp + "/main.ppm", std::ios::binary);
  std::string magic;
  int width = 0, height = 0, depth = 0;
  ppm >> magic >> width >> height >> depth;
  ppm.get();
  EXPECT_EQ(magic, "P6");
  EXPECT_EQ(width, where.width);
  EXPECT_EQ(height, where.height);
  const std::string pixels((std::istreambuf_iterator<char>(ppm)), std::istreambuf_iterator<char>());
  ASSERT_EQ(pixels.size(), static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  EXPECT_NE(pixels.find_first_not_of(pixels.substr(0, 3)), std::string::npos);
  std::ifstream png(tmp + "/main.png", std::ios::binary);
  std::string head(24, '\0');
  png.read(head.data(), 24);
  EXPECT_EQ(head.substr(1, 3), "PNG");
  EXPECT_EQ((static_cast<unsigned char>(head[18]) << 8) | static_cast<unsigned char>(head[19]),
            where.width);
  EXPECT_TRUE(IScript_Finished());
  EXPECT_EQ(seen.text, "from a script");
  EXPECT_EQ(seen.integer, 2);
  EXPECT_TRUE(I_GetBOOLEAN(ctx, 2));
}

// The server's own count of the display's windows, graphics contexts and pixmaps.
std::map<std::string, unsigned> ResourcesOf(Display* user, unsigned long window) {
  int n = 0;
  XResClient* clients = nullptr;
  XResQueryClients(user, &n, &clients);
  std::map<std::string, unsigned> counts;
  for (int i = 0; i < n; ++i) {
    if ((window & ~clients[i].resource_mask) != clients[i].resource_base) continue;
    int m = 0;
    XResType* types = nullptr;
    XResQueryClientResources(user, clients[i].resource_base, &m, &types);
    for (int j = 0; j < m; ++j) {
      char* name = XGetAtomName(user, types[j].resource_type);
      const std::string type = name;
      XFree(name);
      if (type == "WINDOW" || type == "GC" || type == "PIXMAP") counts[type] = types[j].count;
    }
    if (types) XFree(types);
  }
  if (clients) XFree(clients);
  return counts;
}

TEST_F(X11Test, CreatingAndDestroyingContextsLeavesNoResourcesBehind) {
  const auto cycle = [] {
    I_Context ctx = I_Create("T_Main", true);
    EXPECT_NE(ctx, nullptr);
    if (ctx == nullptr) return 0UL;
    Tk_Current()->RunDeferred();
    const unsigned long window = TkX11_Window(ctx->shell);
    I_Destroy(ctx);
    return window;
  };
  const unsigned long window = cycle();
  TkX11_Sync();
  const auto before = ResourcesOf(user_, window);
  ASSERT_GT(before.count("GC"), 0u) << "the display's client was not found";
  for (int i = 0; i < 1000; ++i) cycle();
  TkX11_Sync();
  EXPECT_EQ(TkX11_ShellCount(), 0);
  EXPECT_EQ(ResourcesOf(user_, window), before);
  EXPECT_EQ(xErrors, 0);
}

}  // namespace
