// appcfg.json and stream.json when the disk says no: a full disk and a
// read-only directory (each in a private mount namespace), the files' modes,
// and SIGHUP with a change pending.
#include "oxtest.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kDigest = oxt::md5Hex("73519046");

const std::string kCfg = "{\"localDevCfg\": false, \"nicName\": \"\", \"nodeToken\": \"73519046\", "
                         "\"password\": \"73519046\", \"serverIP\": \"192.0.2.1\", \"username\": \"admin\", "
                         "\"webPort\": 8001}\n";
const std::string kStreams = "[{\"id\": 0, \"name\": \"a\"}, {\"id\": 1, \"name\": \"b\"}, {\"id\": 2, \"name\": \"c\"}, "
                             "{\"id\": 3, \"name\": \"d\"}]\n";

unsigned modeOf(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The service in its own working directory, with its logs elsewhere: the
// working directory is the one that runs full or read-only.
class ServiceFilesOnDisk : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (proc.pid() > 0) {
            EXPECT_EQ(proc.terminate(), 0) << proc.describe();
            EXPECT_TRUE(proc.sanitizerReport().empty()) << oxt::tail(proc.sanitizerReport(), 20000);
        }
        if (mounted)
            ::umount2(work.path().c_str(), MNT_DETACH);
    }
    // Mounts stay in this test's process: it gets a mount namespace of its own.
    void enterPrivateMounts()
    {
        ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    }
    void start()
    {
        work.mkdir("web");
        ASSERT_TRUE(proc.start({OXNODE_BIN}, work.path(), {}, logs.path())) << proc.error();
        ASSERT_TRUE(oxt::waitFor([&] { return oxt::tcpPortInUse(8001) || !proc.running(); }, 15000));
        ASSERT_TRUE(proc.running()) << proc.describe();
        const QJsonObject r = oxt::apiPost(8001, {{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(kDigest)}});
        token = r.value("token").toString();
        ASSERT_FALSE(token.isEmpty()) << proc.describe();
    }
    QJsonObject command(QJsonObject request)
    {
        request.insert("token", token);
        return oxt::apiPost(8001, request);
    }
    bool changeServerIp(const QString& ip)
    {
        return command({{"cmd", "setSystemSet"}, {"data", QJsonObject{{"serverIP", ip}, {"webPort", 8001}}}}).isEmpty();
    }

    oxt::TempDir work, logs;
    oxt::Process proc;
    QString token;
    bool mounted = false;
};

struct DiskTrouble {
    const char* name;
    const char* mountOptions;  // tmpfs options, or nullptr for a bind mount of the directory onto itself
    std::function<bool(const std::string& dir)> block, unblock;
    const char* systemError;
};

void PrintTo(const DiskTrouble& t, std::ostream* os)
{
    *os << t.name;
}

bool fillToTheBrim(const std::string& dir)
{
    const int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const std::string page(4096, 'x');
    while (::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size())) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
}

bool remount(const std::string& dir, unsigned long readOnly)
{
    return ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | readOnly, nullptr) == 0;
}

class ChangeKeptUntilTheDiskTakesIt : public ServiceFilesOnDisk, public ::testing::WithParamInterface<DiskTrouble>
{
};

TEST_P(ChangeKeptUntilTheDiskTakesIt, OldFilesIntactOneLineEachWayThenSaved)
{
    const DiskTrouble& t = GetParam();
    enterPrivateMounts();
    const std::string dir = work.path();
    if (t.mountOptions)
        ASSERT_EQ(::mount("tmpfs", dir.c_str(), "tmpfs", 0, t.mountOptions), 0) << std::strerror(errno);
    else
        ASSERT_EQ(::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    mounted = true;
    ASSERT_TRUE(work.writeFile("appcfg.json", kCfg));
    ASSERT_TRUE(work.writeFile("stream.json", kStreams));
    start();
    ASSERT_TRUE(t.block(dir)) << std::strerror(errno);

    const QJsonObject reply = command({{"cmd", "setWebPassword"}, {"old", QString::fromStdString(kDigest)}, {"new", "n3w-secret"}});
    EXPECT_EQ(reply, (QJsonObject{{"results", "success"}, {"msg", "success"}}));
    const std::string failure = std::string("cannot save appcfg.json: ") + t.systemError;
    ASSERT_TRUE(proc.waitForOutput(failure, 5000)) << proc.describe();
    EXPECT_EQ(work.readFile("appcfg.json"), kCfg);
    EXPECT_EQ(work.readFile("stream.json"), kStreams);
    // Retried at every tick, but said once.
    EXPECT_FALSE(oxt::waitFor([&] { return proc.countOccurrences("cannot save") > 1; }, 2200));

    ASSERT_TRUE(t.unblock(dir)) << std::strerror(errno);
    ASSERT_TRUE(proc.waitForOutput("saved appcfg.json and stream.json again", 5000)) << proc.describe();
    EXPECT_EQ(proc.countOccurrences("saved appcfg.json and stream.json again"), 1);
    const QJsonObject cfg = QJsonDocument::fromJson(QByteArray::fromStdString(work.readFile("appcfg.json"))).object();
    EXPECT_EQ(cfg.value("password").toString(), "n3w-secret");
    EXPECT_EQ(cfg.value("serverIP").toString(), "192.0.2.1");
    const QJsonArray streams = QJsonDocument::fromJson(QByteArray::fromStdString(work.readFile("stream.json"))).array();
    ASSERT_EQ(streams.size(), 4);
    EXPECT_EQ(streams.at(3).toObject().value("name").toString(), "d");
}

INSTANTIATE_TEST_SUITE_P(
    Disk, ChangeKeptUntilTheDiskTakesIt,
    ::testing::Values(
        DiskTrouble{"FullDisk", "size=256k,mode=0700", fillToTheBrim,
                    [](const std::string& dir) { return ::unlink((dir + "/filler").c_str()) == 0; },
                    "No space left on device"},
        DiskTrouble{"ReadOnlyDirectory", nullptr, [](const std::string& dir) { return remount(dir, MS_RDONLY); },
                    [](const std::string& dir) { return remount(dir, 0); }, "Read-only file system"}),
    [](const ::testing::TestParamInfo<DiskTrouble>& info) { return std::string(info.param.name); });

TEST_F(ServiceFilesOnDisk, FilesAreOwnerOnlyAndALooserOneIsTightenedOnce)
{
    ASSERT_TRUE(work.writeFile("appcfg.json", kCfg));
    ASSERT_EQ(::chmod(work.file("appcfg.json").c_str(), 0644), 0);
    start();
    EXPECT_EQ(modeOf(work.file("stream.json")), 0600u) << "created at start";
    EXPECT_EQ(modeOf(work.file("appcfg.json")), 0644u) << "not saved yet";
    ASSERT_TRUE(changeServerIp("192.0.2.2"));
    ASSERT_TRUE(oxt::waitFor([&] { return modeOf(work.file("appcfg.json")) == 0600u; }, 5000));
    ASSERT_TRUE(changeServerIp("192.0.2.3"));
    ASSERT_TRUE(oxt::waitFor([&] { return work.readFile("appcfg.json").find("192.0.2.3") != std::string::npos; }, 5000));
    EXPECT_EQ(proc.countOccurrences("appcfg.json could be read by other users; it is now readable by its owner only"), 1);
    EXPECT_EQ(proc.countOccurrences("could be read by other users"), 1) << "stream.json was never loose";
}

TEST_F(ServiceFilesOnDisk, SighupWritesThePendingChangeAndTheServiceGoesOn)
{
    ASSERT_TRUE(work.writeFile("appcfg.json", kCfg));
    start();
    ASSERT_TRUE(changeServerIp("192.0.2.4"));
    ASSERT_EQ(::kill(proc.pid(), SIGHUP), 0);
    ASSERT_TRUE(proc.waitForOutput("SIGHUP: writing a pending save", 5000)) << proc.describe();
    EXPECT_TRUE(oxt::waitFor([&] { return work.readFile("appcfg.json").find("\"serverIP\": \"192.0.2.4\"") != std::string::npos; }));
    EXPECT_TRUE(proc.running()) << proc.describe();
    const QJsonObject set = command({{"cmd", "getSystemSet"}});
    EXPECT_EQ(set.value("data").toObject().value("serverIP").toString(), "192.0.2.4");
}

} // namespace
