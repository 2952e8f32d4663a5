// The main dialogs' callbacks: the commands of both dialogs, the toggles and the list
// fields, and the refreshes that keep sizes and the highlighted order's fields current.
#include "BkMisc.hpp"
#include "Imisc.hpp"
#include "Vuvedur.hpp"

namespace {

constexpr std::int32_t kOrderButtons = 12;
constexpr std::int32_t kIncludePool = 2;
constexpr std::int32_t kIncludePs = 3;
constexpr std::int32_t kForms = 4;
constexpr std::int32_t kIncludeForm = 6;
constexpr std::int32_t kSelectedSize = 7;
constexpr std::int32_t kOrders = 8;
constexpr std::int32_t kOrderName = 9;
constexpr std::int32_t kOrderSize = 10;
constexpr std::int32_t kNativeCapacity = 16;
constexpr std::int32_t kCapacity = 17;
constexpr std::int32_t kFreeOnMedium = 18;
constexpr std::int32_t kArchiveDate = 20;

enum Command : std::int32_t { kStart = 1, kClose = 2, kChangeHosts = 3, kMark = 4, kUnmark = 5 };

VuvedurData* ContextOf(void* arg) { return static_cast<VuvedurData*>(arg); }

double MarkedSize(VuvedurData& context) {
  double size = 0.0;
  for (OrderEntry* order = context.orders; order != nullptr; order = order->next) {
    if (order->marked) size += Vuvedur_OrderSize(*order);
  }
  return size;
}

void SetMark(OrderEntry& order, bool marked) {
  order.marked = marked;
  order.colour = marked ? Vuvedur_colorBlue : Vuvedur_colorBlack;
}

void ShowOrderSize(I_Context dialog, OrderEntry& order) {
  char size[128];
  BkMisc_SizeToMBStr(Vuvedur_OrderSize(order), size);
  I_PutSTRING(dialog, kOrderSize, size);
}

}  // namespace

void Vuvedur_IntCB(I_Context dialog, std::int32_t, std::int32_t value, void* arg) {
  VuvedurData* context = ContextOf(arg);
  if (context == nullptr) return;
  if (I_Equal(dialog, context->backupDialog)) {
    Vuvedur_IntCB_CommandBck(dialog, value, context);
  } else if (I_Equal(dialog, context->restoreDialog)) {
    Vuvedur_IntCB_CommandRst(dialog, value, context);
  } else if (I_Equal(dialog, context->changeHostsDialog)) {
    Vuvedur_IntCB_CommandChange(dialog, value, context);
  }
}

void Vuvedur_IntCB_CommandBck(I_Context dialog, std::int32_t value, VuvedurData* context) {
  switch (value) {
    case kStart:
      if (!Vuvedur_OrdersSelected(context)) {
        Imisc_ErrMsg(Vuvedur_sectionN, 36);
        return;
      }
      if (context->selectedSize > context->freeOnMedium && !Imisc_Yes(Vuvedur_sectionN, 38)) {
        return;
      }
      I_Deactivate(dialog);
      Vuvedur_BackupOrders(context);
      return;
    case kClose:
      I_Deactivate(dialog);
      Vuvedur_Free(context);
      return;
    case kMark:
    case kUnmark: {
      OrderEntry* order = Vuvedur_GetSelectedOrder(context, false);
      if (order == nullptr) {
        Imisc_ErrMsg(Vuvedur_sectionN, 35);
        return;
      }
      SetMark(*order, value == kMark);
      I_PutList(dialog, kOrders, context->orders);
      Vuvedur_UpdateBck(context);
      return;
    }
    default:
      return;
  }
}

void Vuvedur_IntCB_CommandRst(I_Context dialog, std::int32_t value, VuvedurData* context) {
  switch (value) {
    case kStart:
      if (!Vuvedur_OrdersSelected(context)) {
        Imisc_ErrMsg(Vuvedur_sectionN, 37);
        return;
      }
      if (context->diskSpace < context->selectedSize && !Imisc_Yes(Vuvedur_sectionN, 39)) return;
      I_Deactivate(dialog);
      Vuvedur_RestoreOrders(context);
      return;
    case kClose:
      I_Deactivate(dialog);
      Vuvedur_Free(context);
      return;
    case kChangeHosts:
      Vuvedur_ChangeHosts(context);
      return;
    case kMark: {
      OrderEntry* order = Vuvedur_GetSelectedOrder(context, true);
      if (order == nullptr) {
        Imisc_ErrMsg(Vuvedur_sectionN, 35);
        return;
      }
      Vuvedur_RstMarkOrder(context, *order);
      return;
    }
    case kUnmark: {
      OrderEntry* order = Vuvedur_GetSelectedOrder(context, true);
      if (order == nullptr) {
        Imisc_ErrMsg(Vuvedur_sectionN, 35);
        return;
      }
      // The reservation stays held until the context is freed.
      SetMark(*order, false);
      I_PutList(dialog, kOrders, context->orders);
      Vuvedur_UpdateRst(context);
      return;
    }
    default:
      return;
  }
}

void Vuvedur_BoolCB(I_Context, std::int32_t field, bool value, void* arg) {
  VuvedurData* context = ContextOf(arg);
  if (context == nullptr) return;
  if (field != kIncludePs && field != kIncludeForm && field != kIncludePool) return;
  if (OrderEntry* order = Vuvedur_GetSelectedOrder(context, false); order != nullptr) {
    if (field == kIncludePs) order->includePs = value;
    if (field == kIncludeForm) order->includeForm = value;
    if (field == kIncludePool) order->includePool = value;
  }
  Vuvedur_UpdateBck(context);
}

void Vuvedur_RealCB(I_Context, std::int32_t field, double value, void* arg) {
  VuvedurData* context = ContextOf(arg);
  if (context == nullptr || field != kNativeCapacity || context->device == nullptr) return;
  context->nativeCapacity = Vuvedur_GBToByte(value);
  BkDevSel_SetNativeCapacity(*context->device, context->nativeCapacity);
  BkDevSel_DeviceCapacity(context->device, context->nativeCapacity, context->capacity);
  Vuvedur_UpdateBck(context);
}

void Vuvedur_GenericCB(I_Context dialog, std::int32_t field, std::span<const std::uint8_t>,
                       void* arg) {
  VuvedurData* context = ContextOf(arg);
  if (context == nullptr) return;
  if (I_Equal(dialog, context->changeHostsDialog)) {
    Vuvedur_UpdateChange(context);
    return;
  }
  const bool restore = I_Equal(dialog, context->restoreDialog);
  if (!restore && !I_Equal(dialog, context->backupDialog)) return;
  OrderEntry* order = Vuvedur_GetSelectedOrder(context, restore);
  if (field == kForms && order != nullptr) {
    order->forms = I_GetList<FormEntry>(dialog, kForms);
  } else if (field == kOrders) {
    if (!restore && order != nullptr && order->files == nullptr && order->filesOK) {
      order->filesOK = Vuvedur_BuildFileLists(*order);
    }
    I_PutList(dialog, kForms, order != nullptr ? order->forms : nullptr);
    if (!restore && order != nullptr && !order->marked) {
      order->includePs = I_GetBOOLEAN(dialog, kIncludePs);
      order->includePool = I_GetBOOLEAN(dialog, kIncludePool);
      order->includeForm = I_GetBOOLEAN(dialog, kIncludeForm);
    }
  }
  if (restore) {
    Vuvedur_UpdateRst(context);
  } else {
    Vuvedur_UpdateBck(context);
  }
}

void Vuvedur_UpdateBck(VuvedurData* context) {
  const I_Context dialog = context->backupDialog;
  context->selectedSize = MarkedSize(*context);
  context->freeOnMedium = context->capacity - context->usedOnMedium;
  I_PutREAL(dialog, kSelectedSize, Vuvedur_ByteToGB(context->selectedSize));
  I_PutREAL(dialog, kFreeOnMedium, Vuvedur_ByteToGB(context->freeOnMedium));
  I_PutREAL(dialog, kCapacity, Vuvedur_ByteToGB(context->capacity));
  OrderEntry* order = Vuvedur_GetSelectedOrder(context, false);
  const bool usable = order != nullptr && order->filesOK;
  for (std::int32_t field : {kOrderButtons, kForms, kIncludeForm, kIncludePool, kIncludePs}) {
    I_SetEnabled(dialog, field, usable);
  }
  if (!usable) {
    I_PutSTRING(dialog, kOrderName, "");
    I_PutSTRING(dialog, kOrderSize, "");
    return;
  }
  I_PutBOOLEAN(dialog, kIncludeForm, order->includeForm);
  I_PutBOOLEAN(dialog, kIncludePool, order->includePool);
  I_PutBOOLEAN(dialog, kIncludePs, order->includePs);
  I_PutSTRING(dialog, kOrderName, order->name);
  ShowOrderSize(dialog, *order);
}

void Vuvedur_UpdateRst(VuvedurData* context) {
  const I_Context dialog = context->restoreDialog;
  context->selectedSize = MarkedSize(*context);
  I_PutREAL(dialog, kSelectedSize, Vuvedur_ByteToGB(context->selectedSize));
  OrderEntry* order = Vuvedur_GetSelectedOrder(context, true);
  I_SetEnabled(dialog, kOrderButtons, order != nullptr);
  I_SetEnabled(dialog, kForms, order != nullptr);
  if (order == nullptr) {
    I_PutSTRING(dialog, kOrderName, "");
    I_PutSTRING(dialog, kOrderSize, "");
    I_PutSTRING(dialog, kArchiveDate, "");
    return;
  }
  I_PutSTRING(dialog, kOrderName, order->name);
  ShowOrderSize(dialog, *order);
  char date[128] = "";
  if (order->archive != nullptr) {
    BkMisc_DateAndTimeToStr(order->archive->created.date, order->archive->created.time, date);
  }
  I_PutSTRING(dialog, kArchiveDate, date);
}
