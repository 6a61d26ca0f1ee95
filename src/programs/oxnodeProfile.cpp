// Linked into oxnode only.
#include "oxProfile.h"

const oxProfile& programProfile()
{
    static const oxProfile profile = oxProfile::full();
    return profile;
}
