#include "ZEVSiteDeepLinkModel.h"

#include "../Platform/ZEVSiteNoDestructor.h"

ZEVSiteDeepLinkModel& ZEVSiteDeepLinkModel::shareInstance() {
  static ZEVSiteNoDestructor<ZEVSiteDeepLinkModel> record;
  return record.get();
}
