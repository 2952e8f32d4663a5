// dlggallery: shows every context of the named dialog catalogues on the X11 display, one
// after the other, and saves each window as "<directory>/<catalogue>-<context>.png"
// (through xwd and ImageMagick's convert). Text values show their AObj's note stretched to
// the length real values reach (long device descriptions, titles), and lists three sample
// lines as long as a list line can be (the 127 characters of an order line), so that the
// space each field takes can be judged. Prints each
// picture's path with the window's size; a window larger than 1200x800 counts as a failure.
//
//   dlggallery <directory> <catalogue>...
//
// The language is the user's (LANGUAGE); the display is $DISPLAY.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "I.hpp"
#include "IdlgCat.hpp"
#include "Processe.hpp"
#include "TkX11.hpp"

namespace {

constexpr int kMaxWidth = 1200, kMaxHeight = 800;

// Ends through the orderly exit, which also removes the program's run file.
[[noreturn]] void Exit(int status) {
  std::fflush(stdout);
  Processe_SetExitStatus(status);
  Processe_Exit();
}

std::deque<I_ListRec> samples;  // records must stay where the lists point

constexpr std::size_t kTextLength = 72, kLineLength = 127;

// The text stretched with a visible filler to length characters.
std::string Stretched(std::string text, std::size_t length) {
  while (text.size() < length) text += text.size() % 8 == 7 ? ' ' : '=';
  return text;
}

void FillSamples(I_Context ctx) {
  for (const auto& d : ctx->tmpl->aobjs) {
    Ibase_AObj* a = Ibase_AObjOf(ctx, d.number);
    if (a == nullptr || d.note == nullptr || d.note[0] == '\0') continue;
    if (a->type == I_STRING) I_PutSTRING(ctx, d.number, Stretched(d.note, kTextLength));
    if (a->type == I_Generic && a->size == sizeof(I_ListRec*) && !a->widgets.empty()) {
      I_ListRec* next = nullptr;
      for (int i = 3; i >= 1; --i) {
        samples.push_back({next, static_cast<std::uint8_t>(i == 2), {}, {0, 0, 0}});
        const std::string line =
            Stretched(std::string(d.note) + " " + std::to_string(i), kLineLength);
        std::snprintf(samples.back().text, sizeof samples.back().text, "%s", line.c_str());
        next = &samples.back();
      }
      I_PutList(ctx, d.number, next);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs("usage: dlggallery <directory> <catalogue>...\n", stdout);
    return 0;
  }
  if (argc < 3) {
    std::fputs("usage: dlggallery <directory> <catalogue>...\n", stderr);
    return 2;
  }
  I_Init();
  TkX11_Init();
  if (TkX11_Open(nullptr) == nullptr) Exit(1);
  int failed = 0;
  for (int i = 2; i < argc; ++i) {
    I_UseContextCat(StrIn::FromC(argv[i]));
    for (const IdlgCat_Context* t : IdlgCat_AllContexts()) {
      if (std::strncmp(t->catalogue, argv[i], std::strlen(argv[i])) != 0) continue;
      I_Context ctx = I_Create(StrIn::FromC(t->name), true);
      if (ctx == nullptr) {
        ++failed;
        continue;
      }
      FillSamples(ctx);
      TkX11_Sync();
      const TkX11_Rect where = TkX11_Where(ctx->shell);
      const std::string out = std::string(argv[1]) + "/" + argv[i] + "-" + t->name + ".png";
      const std::string cmd = "xwd -silent -id " + std::to_string(TkX11_Window(ctx->shell)) +
                              " | convert xwd:- '" + out + "'";
      if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "dlggallery: could not save %s\n", out.c_str());
        ++failed;
      } else {
        std::printf("%s %dx%d\n", out.c_str(), where.width, where.height);
      }
      // Every dialog must fit on a 1280x1024 screen with room for the desktop around it.
      if (where.width > kMaxWidth || where.height > kMaxHeight) {
        std::fprintf(stderr, "dlggallery: %s is %dx%d, larger than %dx%d\n", t->name, where.width,
                     where.height, kMaxWidth, kMaxHeight);
        ++failed;
      }
      I_Destroy(ctx);
    }
  }
  TkX11_Close();
  Exit(failed == 0 ? 0 : 1);
}
