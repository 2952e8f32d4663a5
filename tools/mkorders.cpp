// mkorders: makes a job root full of sample orders, for tests, benchmarks and the demo.
//
//   mkorders [--orders N] [--size BYTES] [--host HOST] [--seed N] DIR/orders
//
// DIR/orders gets one order info file per order, DIR/forms one job directory per form
// with the subdirectories "form", "pool" and "ps", DIR/schemes stays empty. Orders have
// one to four forms of status 0, 1 and 2 (every status occurs once there are three forms);
// the form files have mixed sizes that add up to BYTES exactly, some of their names hold
// blanks and Latin-1 characters, and the first form's pool has one symbolic link. The
// same arguments always make the same job root.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "BFileIO.hpp"
#include "BOutIn.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SAIF.hpp"
#include "SAIFinfo.hpp"
#include "UArgs.hpp"
#include "UCommon.hpp"

namespace {

constexpr char kUsage[] =
    "usage: mkorders [--orders N] [--size BYTES] [--host HOST] [--seed N] DIR/orders\n"
    "  Makes the job root DIR/orders with sample orders, their forms in DIR/forms and an\n"
    "  empty DIR/schemes. The orders directory must be new or empty.\n"
    "  --orders N    number of orders, 1 to 10000 (default 10)\n"
    "  --size BYTES  total size of the form files, with k, M or G for 1024,\n"
    "                1024^2 or 1024^3 (default 10M)\n"
    "  --host HOST   host named as holder of the forms (default: this machine)\n"
    "  --seed N      variant of the random choices (default 1)\n";

struct Options {
  int orders = 10;
  std::uint64_t size = 10ull << 20;
  std::string host;
  std::uint32_t seed = 1;
  std::string root;  // the orders directory
};

[[noreturn]] void Exit(int status) {
  BFileIO_Flush(BFileIO_stdout);
  Processe_SetExitStatus(status);
  Processe_Exit();
}

[[noreturn]] void Usage(const std::string& problem) {
  BOutIn_WriteString(BFileIO_stderr, "mkorders: " + problem + "\n" + kUsage);
  Exit(2);
}

bool ParseNumber(const std::string& text, std::uint64_t& value, bool withUnit) {
  std::size_t digits = 0;
  value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + static_cast<std::uint64_t>(text[digits++] - '0');
  }
  if (digits == 0) return false;
  const std::string unit = text.substr(digits);
  if (unit.empty()) return true;
  if (!withUnit || unit.size() != 1) return false;
  const std::string units = "kMG";
  const std::size_t shift = units.find(unit[0]);
  if (shift == std::string::npos || value > (UINT64_MAX >> (10 * (shift + 1)))) return false;
  value <<= 10 * (shift + 1);
  return true;
}

std::string Param(std::size_t n) {
  char text[1024];
  UArgs_GetParam(n, text);
  return StrIn(text).str();
}

Options ParseArguments() {
  Options o;
  const std::size_t n = UArgs_NumParams();
  for (std::size_t i = 1; i <= n; ++i) {
    const std::string arg = Param(i);
    if (arg == "--help" || arg == "-h") {
      BOutIn_WriteString(BFileIO_stdout, kUsage);
      Exit(0);
    }
    if (arg.starts_with("--")) {
      if (i + 1 > n) Usage(arg + " needs a value");
      const std::string value = Param(++i);
      std::uint64_t number = 0;
      if (arg == "--host") {
        if (value.empty() || value.find('/') != std::string::npos) Usage("bad host " + value);
        o.host = value;
      } else if (!ParseNumber(value, number, arg == "--size")) {
        Usage("bad number for " + arg + ": " + value);
      } else if (arg == "--orders") {
        if (number < 1 || number > 10000) Usage("--orders takes 1 to 10000");
        o.orders = static_cast<int>(number);
      } else if (arg == "--size") {
        o.size = number;
      } else if (arg == "--seed") {
        o.seed = static_cast<std::uint32_t>(number);
      } else {
        Usage("unknown option " + arg);
      }
    } else if (o.root.empty()) {
      o.root = arg;
    } else {
      Usage("more than one job root");
    }
  }
  while (o.root.size() > 1 && o.root.back() == '/') o.root.pop_back();
  if (o.root.empty()) Usage("no job root given");
  if (o.root != "orders" && !o.root.ends_with("/orders")) {
    Usage("the job root must be a directory named \"orders\": " + o.root);
  }
  return o;
}

[[noreturn]] void Fail(const std::string& what) {
  BOutIn_WriteString(BFileIO_stderr, "mkorders: " + what + "\n");
  Messages_ShowError(2);
  Exit(1);
}

void MakeDir(const std::string& path) {
  if (!DirAcces_RecursiveMkDir(path, 0777)) Fail("cannot make the directory " + path);
}

// A form file: its place in the job directory and its share of the total size.
struct FormFile {
  std::string path;
  std::uint32_t weight;
};

// The files of one form's job directory: the layout, the page images of the pool (with
// blanks and Latin-1 characters in their names) and the output of the sheets.
std::vector<FormFile> FormFiles(std::mt19937& random) {
  static const char* const images[] = {"Cover image 01.tif",
                                       "Gr\xFC\xDF"
                                       "e vom Meer.eps",
                                       "logo.eps",
                                       "Caf\xE9 au lait.tif",
                                       "page_02.tif",
                                       "Fr\xFChling Titel.pdf"};
  std::vector<FormFile> files = {{"form/layout.frm", 2}, {"form/marks.mrk", 1}};
  const int pool = 2 + static_cast<int>(random() % 3);
  for (int i = 0; i < pool; ++i) {
    files.push_back({std::string("pool/") + images[(random() + i) % std::size(images)], 0});
  }
  const int sheets = 1 + static_cast<int>(random() % 3);
  for (int i = 1; i <= sheets; ++i) {
    files.push_back({"ps/sheet_0" + std::to_string(i) + ".ps", 0});
  }
  std::sort(files.begin(), files.end(),
            [](const FormFile& a, const FormFile& b) { return a.path < b.path; });
  files.erase(std::unique(files.begin(), files.end(),
                          [](const FormFile& a, const FormFile& b) { return a.path == b.path; }),
              files.end());
  // Mixed sizes: mostly small files, some of ten, a few of a hundred times their size.
  for (FormFile& f : files) {
    if (f.weight == 0) {
      const std::uint32_t r = random() % 10;
      f.weight = r < 6 ? 1 + random() % 4 : r < 9 ? 10 + random() % 20 : 100 + random() % 200;
    }
  }
  return files;
}

void WriteContent(const std::string& path, std::uint64_t size, std::mt19937& random) {
  static std::vector<char> block = [] {
    std::vector<char> b(64 * 1024);
    std::mt19937 r(7);
    for (char& c : b) c = static_cast<char>(r());
    return b;
  }();
  BFileIO_File f = BFileIO_Create(path, 1);
  if (f == BFileIO_Nil) Fail("cannot create " + path);
  std::size_t offset = random() % block.size();
  for (std::uint64_t left = size; left > 0;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size() - offset));
    BFileIO_Write(f, block.data() + offset, n);
    if (BFileIO_ioError != 0) Fail("cannot write " + path);
    left -= n;
    offset = 0;
  }
  BFileIO_Close(f);
}

struct Form {
  std::string name;
  int status;
  std::vector<FormFile> files;
};

struct Counts {
  int forms = 0, files = 0;
  int status[3] = {0, 0, 0};
};

void WriteOrderInfo(const std::string& path, const std::string& description, int number,
                    const std::vector<Form>& forms, const std::string& host) {
  SAIF f = SAIF_Create(path, 0, 0, 1);
  if (f == SAIF_Nil) Fail("cannot create the order info file " + path);
  SAIFinfo_SaveString(f, "ORDERINFO", description);
  SAIFinfo_SaveString(f, "ORDERNUM", "2026-" + std::to_string(10000 + number).substr(1));
  for (std::size_t i = 0; i < forms.size(); ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "FORM%03zu/", i + 1);
    SAIFinfo_SaveString(f, std::string(key) + "SHORTNAME", forms[i].name);
    SAIFinfo_SaveString(f, std::string(key) + "HOST", host);
    SAIFinfo_SaveInteger(f, std::string(key) + "STATUS", forms[i].status);
  }
  SAIF_Close(f);
  if (SAIF_aifError != 0) Fail("cannot write the order info file " + path);
}

}  // namespace

int main(int argc, char** argv, char** envp) {
  M2C_INIT(argc, argv, envp);
  UCommon_Init();
  UArgs_Init();
  Processe_Init();
  Messages_Init();
  BFileIO_Init();
  BOutIn_Init();
  DirAcces_Init();
  SAIF_Init();
  SAIFinfo_Init();

  Options o = ParseArguments();
  if (o.host.empty()) {
    char host[128];
    DirAcces_GetMachineName(host);
    o.host = StrIn(host).str();
  }
  const std::string top = o.root.size() > 6 ? o.root.substr(0, o.root.size() - 6) : "";
  const std::string formsDir = top + "forms", schemesDir = top + "schemes";
  // Failures are reported here, with the file they concern.
  Messages_Ignoring quiet;
  DirAcces_Dir existing = DirAcces_OpenDir(o.root);
  if (existing != DirAcces_NilDir) {
    char name[257];
    bool empty = true;
    while (empty && DirAcces_GetSmallDirEntry(existing, name)) {
      empty = std::string(name) == "." || std::string(name) == "..";
    }
    DirAcces_CloseDir(existing);
    if (!empty) {
      BOutIn_WriteString(BFileIO_stderr, "mkorders: " + o.root + " is not empty\n");
      Exit(1);
    }
  }
  Messages_ForgetErrorReasons();
  for (const std::string& dir : {o.root, formsDir, schemesDir}) MakeDir(dir);

  static const char* const kinds[][2] = {
      {"bro", "Brochure"}, {"cat", "Catalogue"}, {"fly", "Flyer"}, {"pos", "Poster"}};
  std::mt19937 random(o.seed);
  std::vector<std::vector<Form>> orders(static_cast<std::size_t>(o.orders));
  std::vector<std::string> names(orders.size()), descriptions(orders.size());
  Counts counts;
  std::uint64_t totalWeight = 0;
  for (int i = 0; i < o.orders; ++i) {
    const auto& kind = kinds[random() % std::size(kinds)];
    char number[16];
    std::snprintf(number, sizeof number, "%05d", i + 1);
    names[i] = std::string(kind[0]) + number;
    descriptions[i] = std::string(kind[1]) + " " + std::to_string(i + 1) + " for customer " +
                      std::to_string(100 + random() % 900);
    const int formCount = o.orders == 1 ? 3 : 1 + static_cast<int>(random() % 4);
    for (int n = 1; n <= formCount; ++n) {
      // Most forms are to be saved (1); some are left out (0) or in another state (2).
      const std::uint32_t r = random() % 10;
      int status = r < 6 ? 1 : r < 8 ? 0 : 2;
      if (counts.forms < 3) status = (counts.forms + 1) % 3;  // 1, 2, 0 come first
      // The form naming rule: eight characters, the form number, ".", a letter, a digit.
      const std::string form = names[i] + (n < 10 ? "0" : "") + std::to_string(n) + ".a" +
                               std::to_string(1 + (n - 1) % 9);
      orders[i].push_back({form, status, FormFiles(random)});
      ++counts.forms;
      ++counts.status[status];
      for (const FormFile& f : orders[i].back().files) totalWeight += f.weight;
    }
  }

  // Every file gets its share of the total size; the last one takes what rounding left.
  std::uint64_t written = 0, weightSoFar = 0;
  bool linked = false;
  for (int i = 0; i < o.orders; ++i) {
    for (const Form& form : orders[i]) {
      const std::string job = formsDir + "/" + form.name;
      for (const char* sub : {"/form", "/pool", "/ps"}) MakeDir(job + sub);
      for (const FormFile& f : form.files) {
        weightSoFar += f.weight;
        const std::uint64_t upTo = static_cast<std::uint64_t>(static_cast<long double>(o.size) *
                                                              weightSoFar / totalWeight);
        WriteContent(job + "/" + f.path, upTo - written, random);
        written = upTo;
        ++counts.files;
      }
      if (!linked) {
        DirAcces_Symlink(form.files[0].path.substr(form.files[0].path.find('/') + 1),
                         job + "/form/current.frm");
        if (DirAcces_dirError != 0) Fail("cannot make the symbolic link in " + job);
        linked = true;
      }
    }
    WriteOrderInfo(o.root + "/" + names[i] + ".aif", descriptions[i], i + 1, orders[i], o.host);
  }
  quiet.Close();

  BOutIn_WriteString(BFileIO_stdout,
                     std::to_string(o.orders) + " orders, " + std::to_string(counts.forms) +
                         " forms (status 0: " + std::to_string(counts.status[0]) +
                         ", 1: " + std::to_string(counts.status[1]) + ", 2: " +
                         std::to_string(counts.status[2]) + "), " + std::to_string(counts.files) +
                         " files of " + std::to_string(written) + " bytes in " + o.root + "\n");
  Exit(0);
}
