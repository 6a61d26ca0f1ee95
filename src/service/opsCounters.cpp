#include "opsCounters.h"

oxOpsCounters& opsCounters()
{
    static oxOpsCounters counters;
    return counters;
}

const char* webResultName(webResult r)
{
    switch (r) {
    case webResult::Ok: return "ok";
    case webResult::NotFound: return "not_found";
    case webResult::Unauthorized: return "unauthorized";
    case webResult::BadRequest: return "bad_request";
    case webResult::Timeout: return "timeout";
    case webResult::Busy: return "busy";
    case webResult::Unavailable: return "unavailable";
    case webResult::Count: break;
    }
    return "other";
}

webResult webResultOfStatus(int status)
{
    switch (status) {
    case 0: // a WebSocket handed to CivetWeb
    case 200: return webResult::Ok;
    case 401: return webResult::Unauthorized;
    case 404: return webResult::NotFound;
    case 408: return webResult::Timeout;
    case 503: return webResult::Busy;
    default: return status >= 400 && status < 500 ? webResult::BadRequest : webResult::Unavailable;
    }
}
