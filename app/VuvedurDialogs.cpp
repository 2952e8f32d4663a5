// The main dialogs' callbacks: the commands of both dialogs, the toggles and the list
// fields, and the refreshes that keep sizes and the highlighted order's fields current.
#include "BkMisc.hpp"
#include "Imisc.hpp"
#include "Vuvedur.hpp"

namespace {

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
  I_PutSTRING(dialog, Vuvedur_fieldOrderSize, size);
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
      I_PutList(dialog, Vuvedur_fieldOrders, context->orders);
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
      I_PutList(dialog, Vuvedur_fieldOrders, context->orders);
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
  if (field != Vuvedur_fieldIncludePs && field != Vuvedur_fieldIncludeForm &&
      field != Vuvedur_fieldIncludePool)
    return;
  if (OrderEntry* order = Vuvedur_GetSelectedOrder(context, false); order != nullptr) {
    if (field == Vuvedur_fieldIncludePs) order->includePs = value;
    if (field == Vuvedur_fieldIncludeForm) order->includeForm = value;
    if (field == Vuvedur_fieldIncludePool) order->includePool = value;
  }
  Vuvedur_UpdateBck(context);
}

void Vuvedur_RealCB(I_Context, std::int32_t field, double value, void* arg) {
  VuvedurData* context = ContextOf(arg);
  if (context == nullptr || field != Vuvedur_fieldNativeCapacity || context->device == nullptr)
    return;
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
  if (field == Vuvedur_fieldForms && order != nullptr) {
    order->forms = I_GetList<FormEntry>(dialog, Vuvedur_fieldForms);
  } else if (field == Vuvedur_fieldOrders) {
    if (!restore && order != nullptr && order->files == nullptr && order->filesOK) {
      order->filesOK = Vuvedur_BuildFileLists(*order);
    }
    I_PutList(dialog, Vuvedur_fieldForms, order != nullptr ? order->forms : nullptr);
    if (!restore && order != nullptr && !order->marked) {
      order->includePs = I_GetBOOLEAN(dialog, Vuvedur_fieldIncludePs);
      order->includePool = I_GetBOOLEAN(dialog, Vuvedur_fieldIncludePool);
      order->includeForm = I_GetBOOLEAN(dialog, Vuvedur_fieldIncludeForm);
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
  I_PutREAL(dialog, Vuvedur_fieldSelectedSize, Vuvedur_ByteToGB(context->selectedSize));
  I_PutREAL(dialog, Vuvedur_fieldFreeOnMedium, Vuvedur_ByteToGB(context->freeOnMedium));
  I_PutREAL(dialog, Vuvedur_fieldCapacity, Vuvedur_ByteToGB(context->capacity));
  OrderEntry* order = Vuvedur_GetSelectedOrder(context, false);
  const bool usable = order != nullptr && order->filesOK;
  for (std::int32_t field :
       {Vuvedur_fieldOrderButtons, Vuvedur_fieldForms, Vuvedur_fieldIncludeForm,
        Vuvedur_fieldIncludePool, Vuvedur_fieldIncludePs}) {
    I_SetEnabled(dialog, field, usable);
  }
  if (!usable) {
    I_PutSTRING(dialog, Vuvedur_fieldOrderName, "");
    I_PutSTRING(dialog, Vuvedur_fieldOrderSize, "");
    return;
  }
  I_PutBOOLEAN(dialog, Vuvedur_fieldIncludeForm, order->includeForm);
  I_PutBOOLEAN(dialog, Vuvedur_fieldIncludePool, order->includePool);
  I_PutBOOLEAN(dialog, Vuvedur_fieldIncludePs, order->includePs);
  I_PutSTRING(dialog, Vuvedur_fieldOrderName, order->name);
  ShowOrderSize(dialog, *order);
}

void Vuvedur_UpdateRst(VuvedurData* context) {
  const I_Context dialog = context->restoreDialog;
  context->selectedSize = MarkedSize(*context);
  I_PutREAL(dialog, Vuvedur_fieldSelectedSize, Vuvedur_ByteToGB(context->selectedSize));
  OrderEntry* order = Vuvedur_GetSelectedOrder(context, true);
  I_SetEnabled(dialog, Vuvedur_fieldOrderButtons, order != nullptr);
  I_SetEnabled(dialog, Vuvedur_fieldForms, order != nullptr);
  if (order == nullptr) {
    I_PutSTRING(dialog, Vuvedur_fieldOrderName, "");
    I_PutSTRING(dialog, Vuvedur_fieldOrderSize, "");
    I_PutSTRING(dialog, Vuvedur_fieldArchiveDate, "");
    return;
  }
  I_PutSTRING(dialog, Vuvedur_fieldOrderName, order->name);
  ShowOrderSize(dialog, *order);
  char date[128] = "";
  if (order->archive != nullptr) {
    BkMisc_DateAndTimeToStr(order->archive->created.date, order->archive->created.time, date);
  }
  I_PutSTRING(dialog, Vuvedur_fieldArchiveDate, date);
}
