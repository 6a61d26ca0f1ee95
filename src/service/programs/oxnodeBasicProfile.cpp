// Linked into oxnode-basic only.
#include "service/oxProfile.h"

const oxProfile& programProfile()
{
    static const oxProfile profile = oxProfile::basic();
    return profile;
}
