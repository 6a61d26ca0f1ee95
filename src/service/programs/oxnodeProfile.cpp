// Linked into oxnode only.
#include "service/oxProfile.h"

const oxProfile& programProfile()
{
    static const oxProfile profile = oxProfile::full();
    return profile;
}
