#include "oxObject.h"

#include <cstdarg>
#include <cstdio>
#include <string>

oxObject::oxObject(QObject* parent)
    : QObject(parent)
{
}

void oxObject::setLogLeve(int level)
{
    logLevel = level;
}

void oxObject::oxLog(int level, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    oxLogV(level, format, ap);
    va_end(ap);
}

void oxObject::oxLogV(int level, const char* format, va_list ap)
{
    if (level < logLevel)
        return;
    // Build the whole line first so that lines from different threads do not
    // interleave inside one another on stdout.
    const QByteArray t = type.toUtf8();
    const QByteArray n = name.toUtf8();
    char prefix[512];
    std::snprintf(prefix, sizeof prefix, level >= 100 ? "\33[31m %s:%s.%d\t" : "\33[39m %s:%s.%d\t",
                  t.constData(), n.constData(), endpointId);
    std::string line(prefix);
    va_list copy;
    va_copy(copy, ap);
    const int len = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (len > 0) {
        std::string msg(static_cast<size_t>(len) + 1, '\0');
        std::vsnprintf(&msg[0], msg.size(), format, ap);
        msg.resize(static_cast<size_t>(len));
        line += msg;
    }
    line += "\33[39m";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}
