#include "logging.h"

Q_LOGGING_CATEGORY(lcService, "oxnode.service")
Q_LOGGING_CATEGORY(lcWeb, "oxnode.web")
Q_LOGGING_CATEGORY(lcNode, "oxnode.node")
Q_LOGGING_CATEGORY(lcNodeFrame, "oxnode.node.frame", QtInfoMsg)
Q_LOGGING_CATEGORY(lcStream, "oxnode.stream")
Q_LOGGING_CATEGORY(lcTcp, "oxnode.tcp")
Q_LOGGING_CATEGORY(lcTcpSend, "oxnode.tcp.send")
Q_LOGGING_CATEGORY(lcSrt, "oxnode.srt")
// Debug off unless the operator asks for it: libsrt then logs at debug level too.
Q_LOGGING_CATEGORY(lcSrtLib, "oxnode.srt.lib", QtInfoMsg)
Q_LOGGING_CATEGORY(lcKcp, "oxnode.kcp")
