#pragma once
// Who may publish into a stream at a time, as a setting: the optional
// "publish" object of a stream's entry in stream.json and the data of the
// "setStreamPublish" command. A plain value; parsed and shown on the main
// thread, handed to the stream's publishGate as a copy.
#include <QJsonObject>
#include <QString>

#include <array>
#include <cstdint>

// The inputs a publisher can come in on, in the order of the default priority.
enum class publishInput : uint8_t { tcp = 0, oxdp = 1, lat = 2, pull = 3 };
constexpr int kPublishInputs = 4;

struct publishPolicy {
    enum class Mode : uint8_t { all = 0, single = 1, failover = 2 };

    // Bounds of the times, in ms: below kMinLossMs a live source's normal
    // jitter would already count as a loss; the upper ones keep a typo from
    // leaving a dead source in charge for days.
    static constexpr int kDefaultLossMs = 500;
    static constexpr int kDefaultReturnMs = 3000;
    static constexpr int kMinLossMs = 50;
    static constexpr int kMaxLossMs = 60000;
    static constexpr int kMaxReturnMs = 600000;

    Mode mode = Mode::all;
    // Inputs in failover order (best first); count of them in use.
    std::array<publishInput, kPublishInputs> priority{publishInput::tcp, publishInput::oxdp, publishInput::lat,
                                                      publishInput::pull};
    int priorityCount = kPublishInputs;
    int lossMs = kDefaultLossMs;
    int returnMs = kDefaultReturnMs;
    bool atKeyframe = true;

    // Rank of an input in the priority (0 best), or -1 when it is not listed.
    int rankOf(publishInput in) const;
    // The command's "data" (or the stored object): keys left out keep their
    // defaults. Empty *error on success; otherwise what is wrong, and the
    // result is not to be used.
    static publishPolicy fromJson(const QJsonObject& data, QString* error);
    QJsonObject toJson() const;
    bool operator==(const publishPolicy& o) const;
    bool operator!=(const publishPolicy& o) const { return !(*this == o); }

    static const char* inputName(publishInput in); // "sr_tcp", "sr_oxdp", "sr_lat", "sr_pull"
    static const char* modeName(Mode m);           // "all", "single", "failover"
};
