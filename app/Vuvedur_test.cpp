#include "Vuvedur.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "BkMisc.hpp"
#include "SRM.hpp"
#include "SRegExpr.hpp"
#include "TkVirtual.hpp"
#include "VuvedurTestJobs.hpp"

namespace {

using namespace vuvedur_test;

TEST(Vuvedur, GigabytesAreBinary) {
  EXPECT_DOUBLE_EQ(Vuvedur_ByteToGB(1073741824.0), 1.0);
  EXPECT_DOUBLE_EQ(Vuvedur_GBToByte(2.5), 2684354560.0);
  EXPECT_DOUBLE_EQ(Vuvedur_ByteToGB(Vuvedur_GBToByte(123.75)), 123.75);
}

TEST(Vuvedur, ModuleStateAfterStart) {
  Vuvedur_Init();
  EXPECT_EQ(Vuvedur_dataRef, nullptr);
  EXPECT_STREQ(Vuvedur_formRegExp, "^form/..*$");
  EXPECT_STREQ(Vuvedur_poolRegExp, "^pool/..*$");
  EXPECT_STREQ(Vuvedur_psRegExp, "^ps/..*$");
  EXPECT_NE(Vuvedur_thisHost[0], '\0');
}

TEST(Vuvedur, ContextStartsEmptyAndFreeingTwiceIsHarmless) {
  Vuvedur_Init();
  VuvedurData* ctx = Vuvedur_Create();
  EXPECT_EQ(ctx->backupDialog, Vuvedur_NilDialog);
  EXPECT_EQ(ctx->capacity, 0.0);
  EXPECT_STREQ(ctx->jobRoot, "");
  Vuvedur_Free(ctx);
  Vuvedur_Free(ctx);
  Vuvedur_Free(nullptr);
  EXPECT_EQ(ctx->orders, nullptr);
  EXPECT_EQ(ctx->header, nullptr);
  delete ctx;
}

// Every test below works in the sandbox's own installation: the standard job root is
// <sandbox>/projects/orders.
class VuvedurOrders : public ::testing::Test {
 protected:
  void SetUp() override {
    DirAcces_SetInstallRoot(SandboxDir());
    Vuvedur_Init();
    SRM_Reset();
  }
  void TearDown() override { orders_test::StopResourceManager(); }
};

std::vector<std::string> Texts(Odirs_NameList list) {
  std::vector<std::string> texts;
  for (auto* e = list; e != nullptr; e = e->next) texts.emplace_back(e->text);
  return texts;
}

TEST_F(VuvedurOrders, OnlyOrdersDirectoriesBecomeJobRoots) {
  const std::string root = MakeJobRoot("data/x", 1);
  ASSERT_TRUE(Vuvedur_NewJobDir(root));
  EXPECT_EQ(std::string(Odirs_orderDir), root);
  EXPECT_EQ(std::string(Odirs_jobDir), SandboxDir() + "/data/x/forms");
  EXPECT_EQ(std::string(Odirs_schemeDir), SandboxDir() + "/data/x/schemes");
  // An existing directory of another name, an orders directory that is not there, and a
  // name that merely ends in "orders" change nothing.
  ::mkdir((SandboxDir() + "/data/myorders").c_str(), 0777);
  for (const std::string& path : {SandboxDir() + "/data/x/forms", SandboxDir() + "/none/orders",
                                  SandboxDir() + "/data/myorders", std::string("orders")}) {
    EXPECT_FALSE(Vuvedur_NewJobDir(path)) << path;
  }
  EXPECT_EQ(std::string(Odirs_orderDir), root);
  EXPECT_EQ(std::string(Odirs_jobDir), SandboxDir() + "/data/x/forms");
}

TEST_F(VuvedurOrders, KnownRootsFileAddsEachRootOnceInOrder) {
  Odirs_NameList list = Vuvedur_CreateJobRootList("/p/orders");
  EXPECT_EQ(Texts(list), std::vector<std::string>{"/p/orders"});  // no file: the current only
  Odirs_DestroyNamelist(list);

  const std::string longLine(130, 'z');
  zolt::test::WriteFile(SandboxDir() + "/customer/folvaneoJobRoots",
                        "/z/orders\n   /p/orders\n\n  \n/b/orders\n/b/orders\n" + longLine +
                            "\n/a/orders\n/unfinished/orders");
  list = Vuvedur_CreateJobRootList("/p/orders");
  // The roots are kept in ascending order, the current among them. A line too long for a
  // root goes on as the next line; the unterminated last line is left out.
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"/a/orders", "/b/orders", "/p/orders",
                                                   "/z/orders", "zzz", std::string(127, 'z')}));
  Odirs_DestroyNamelist(list);
}

TEST_F(VuvedurOrders, BackupListReservesOrdersAndKeepsOnlyFormsInBackup) {
  const std::string root = MakeJobRoot("jobs", 6);
  ASSERT_TRUE(Vuvedur_NewJobDir(root));
  const auto lines = OrderLines(root);
  ASSERT_EQ(lines.size(), 6u);
  VuvedurData* ctx = Vuvedur_Create();
  Vuvedur_BckUpdateOrderList(ctx);
  int skipped = 0, listedForms = 0;
  const OrderEntry* order = ctx->orders;
  for (const std::string& line : lines) {
    char name[128];
    Odirs_GetName(line, name);
    ASSERT_NE(order, nullptr) << line;
    EXPECT_EQ(std::string(order->text), line);
    EXPECT_STREQ(order->host, Vuvedur_thisHost);
    EXPECT_GT(SRM_UseCount(order->resourceName), 0) << order->resourceName;
    EXPECT_TRUE(order->filesOK && order->includeForm && order->includePool && order->includePs);
    EXPECT_FALSE(order->marked);
    // Forms: exactly those the order info file has with status 1, in its order.
    OOinfos_Info* info = OOinfos_Load(root + "/" + name + ".aif");
    ASSERT_NE(info, nullptr);
    const FormEntry* form = order->forms;
    for (const Oforms_Form* f = info->forms; f != nullptr; f = f->next) {
      if (f->status != 1) {
        ++skipped;
        continue;
      }
      ASSERT_NE(form, nullptr);
      EXPECT_STREQ(form->name, f->shortName);
      EXPECT_STREQ(form->text, f->text);
      EXPECT_TRUE(form->selected);
      form = form->next;
      ++listedForms;
    }
    EXPECT_EQ(form, nullptr);
    OOinfos_Destroy(info);
    order = order->next;
  }
  EXPECT_EQ(order, nullptr);
  EXPECT_GT(skipped, 0);  // the sample orders have forms of status 0 and 2
  EXPECT_GT(listedForms, 0);

  // Rebuilding gives the old holds back; freeing the context gives back the rest.
  const std::string first = ctx->orders->resourceName;
  Vuvedur_BckUpdateOrderList(ctx);
  EXPECT_EQ(SRM_UseCount(first), 1);
  Vuvedur_Free(ctx);
  Vuvedur_Free(ctx);
  EXPECT_EQ(SRM_UseCount(first), 0);
  EXPECT_EQ(ctx->orders, nullptr);
  delete ctx;
}

TEST_F(VuvedurOrders, ListOperationsAndLocality) {
  FormEntry* forms = nullptr;
  const char* names[] = {"a", "b", "c"};
  for (const char* n : names) {
    auto* f = new FormEntry{};
    f->next = reinterpret_cast<FormEntry*>(0x1);  // appending ends the list itself
    Strings_Assign(std::string_view(n), f->name);
    f->selected = n[0] != 'b';
    Vuvedur_AppendForm(forms, f);
  }
  EXPECT_STREQ(Vuvedur_GetForm(forms, "c")->name, "c");
  EXPECT_EQ(Vuvedur_GetForm(forms, "d"), nullptr);
  FormEntry* copies = Vuvedur_CopySelectedForms(forms);
  ASSERT_NE(copies, nullptr);
  EXPECT_STREQ(copies->name, "a");
  EXPECT_FALSE(copies->selected);
  ASSERT_NE(copies->next, nullptr);
  EXPECT_STREQ(copies->next->name, "c");
  EXPECT_EQ(copies->next->next, nullptr);

  Strings_Assign("blade", forms->host);
  Vuvedur_BuildFormInfo(*forms);
  EXPECT_STREQ(forms->text, "a < > blade");
  EXPECT_FALSE(Vuvedur_LocalForm(*forms));
  Vuvedur_BuildFormInfo(*forms->next);
  EXPECT_EQ(std::string(forms->next->text), std::string("b < > ") + Vuvedur_thisHost);
  EXPECT_TRUE(Vuvedur_LocalForm(*forms->next));
  EXPECT_TRUE(Vuvedur_LocalTape(nullptr));
  DevListEntry device{};
  EXPECT_TRUE(Vuvedur_LocalTape(&device));
  Strings_Assign("blade", device.record.host);
  EXPECT_FALSE(Vuvedur_LocalTape(&device));
  Vuvedur_DestroyFormList(copies);
  Vuvedur_DestroyFormList(forms);

  VuvedurData ctx{};
  EXPECT_FALSE(Vuvedur_OrdersSelected(&ctx));
  EXPECT_EQ(Vuvedur_GetSelectedOrder(nullptr, false), nullptr);
  EXPECT_EQ(Vuvedur_GetSelectedOrder(&ctx, true), nullptr);
  auto* o1 = new OrderEntry{};
  auto* o2 = new OrderEntry{};
  Vuvedur_AppendOrder(ctx.orders, o1);
  Vuvedur_AppendOrder(ctx.orders, o2);
  o2->marked = true;
  EXPECT_TRUE(Vuvedur_OrdersSelected(&ctx));
  Vuvedur_DestroyOrderList(ctx.orders);
  EXPECT_EQ(ctx.orders, nullptr);
}

FileEntry* Add(FileList& list, const std::string& path, double size) {
  DirAcces_DirEntry info{};
  info.size = size;
  return BkFLists_InsertInFileList(list, path, false, info);
}

TEST_F(VuvedurOrders, SizesLeaveOutExcludedSubdirectories) {
  OrderEntry order{};
  order.includeForm = order.includePool = order.includePs = true;
  Add(order.files, "A.aif", 1000);
  FormEntry* forms = nullptr;
  for (int i = 0; i < 2; ++i) {
    auto* f = new FormEntry{};
    f->selected = i == 0;
    Add(f->files, "form/page.dat", 10);
    Add(f->files, "pool/img.tif", 200);
    Add(f->files, "ps/page.ps", 3000);
    Add(f->files, "pool", 4096);  // the directory itself counts as the system says
    Add(f->files, "notes/pool/x", 50000);
    Vuvedur_AppendForm(forms, f);
  }
  order.forms = forms;
  EXPECT_EQ(Vuvedur_OrderSize(order), 1000 + 10 + 200 + 3000 + 4096 + 50000);
  order.includePool = false;
  order.includePs = false;
  EXPECT_EQ(Vuvedur_OrderSize(order), 1000 + 10 + 4096 + 50000);
  order.includeForm = false;
  EXPECT_EQ(Vuvedur_OrderSize(order), 1000 + 4096 + 50000);
  EXPECT_FALSE(forms->next->files->selected);  // unselected forms are not touched

  Header* header = nullptr;
  EXPECT_EQ(Vuvedur_TapeUsedSize(header), 0.0);
  BkArchiv_NewHeader(header, 0, Vuvedur_dataType, "");
  Archive* a = nullptr;
  for (FormEntry* f = forms; f != nullptr; f = f->next) {
    BkArchiv_AppendEmptyArchive(header, a, Vuvedur_dataType);
    BkArchiv_SetArchiveFiles(a, f->files);
    f->archive = a;  // the file list belongs to the header now
  }
  EXPECT_EQ(Vuvedur_TapeUsedSize(header), 2 * (10 + 200 + 3000 + 4096 + 50000));
  EXPECT_FALSE(BkFLists_OneSelected(header->archives->files));
  Vuvedur_DestroyFormList(forms);
  BkFLists_DestroyFileList(order.files);
  BkArchiv_DestroyHeaderAndArchives(header);

  // The highlighted order's size as text.
  char text[128];
  BkMisc_SizeToMBStr(1500000, text);
  EXPECT_STREQ(text, "1.43 MB");
  BkMisc_SizeToMBStr(500000, text);
  EXPECT_STREQ(text, "488.28 KB");
}

TEST_F(VuvedurOrders, ScriptedSessionOnTheVirtualDisplay) {
  TkVirtual_Init();
  TkVirtual_Open(false);
  IScript_Init();
  Session session;
  session.Prepare();
  std::chrono::milliseconds took{};
  const auto r = session.Run(took);
  EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.exitStatus << " " << r.err;
  EXPECT_GE(took, std::chrono::milliseconds(11 * 250));  // the held order's attempts
  TkVirtual_Close();
}

}  // namespace
