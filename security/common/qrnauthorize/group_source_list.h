// The group sources of GroupNames, one file each (see group_source.h).
#pragma once

#include "security/common/qrnauthorize/group_source.h"

namespace qrn {

const GroupSource& ServerGroupSource();
const GroupSource& DirectoryGroupSource();
const GroupSource& OldServerGroupSource();

}  // namespace qrn
