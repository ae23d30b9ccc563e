#include "common/config.h"

namespace erp2npx {

const ChannelList& channelList() {
  static const ChannelList channels = {"Fz", "Cz", "Pz", "P3", "P4", "PO7", "PO8", "Oz"};
  return channels;
}

}  // namespace erp2npx
