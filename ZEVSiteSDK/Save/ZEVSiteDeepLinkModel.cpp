#include "ZEVSiteDeepLinkModel.h"
#include "../Platform/ZEVSiteForkSafety.h"

#include "../Platform/ZEVSiteNoDestructor.h"

ZEVSiteDeepLinkModel& ZEVSiteDeepLinkModel::shareInstance() {
  static zevsite::NoDestructor<ZEVSiteDeepLinkModel> record;
  static const bool forkSafe =
      zevsite::forksafety::registered(record.get().lock_, zevsite::forksafety::kDeepLinkRecord);
  (void)forkSafe;
  return record.get();
}
