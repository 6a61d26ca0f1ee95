#pragma once
// Logging categories, one per subsystem. All are on by default, except the
// debug lines of oxnode.srt.lib; operators switch them with Qt's logging
// rules, e.g.
//   QT_LOGGING_RULES="oxnode.tcp.send.debug=false;oxnode.srt.lib.debug=true"
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcService)  // oxnode.service
Q_DECLARE_LOGGING_CATEGORY(lcWeb)      // oxnode.web
Q_DECLARE_LOGGING_CATEGORY(lcNode)     // oxnode.node
// oxnode.node.frame: one line per keep-alive or property frame of a node,
// and per node connection and login; its debug lines are off unless the
// operator turns them on (a fleet sends thousands a second).
Q_DECLARE_LOGGING_CATEGORY(lcNodeFrame)
Q_DECLARE_LOGGING_CATEGORY(lcStream)   // oxnode.stream
Q_DECLARE_LOGGING_CATEGORY(lcTcp)      // oxnode.tcp
Q_DECLARE_LOGGING_CATEGORY(lcTcpSend)  // oxnode.tcp.send: one line per buffer sent
Q_DECLARE_LOGGING_CATEGORY(lcSrt)      // oxnode.srt
Q_DECLARE_LOGGING_CATEGORY(lcSrtLib)   // oxnode.srt.lib: libsrt's own log; its debug only on request
Q_DECLARE_LOGGING_CATEGORY(lcKcp)      // oxnode.kcp
