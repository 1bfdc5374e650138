// The desktop's disk service, udisks2, on the system bus (Qt D-Bus): names
// of drives, read-only descriptors of block devices once polkit authorised
// the user (Block.OpenForBackup), and block devices coming and going.
//
// Used by both front ends.  The command line may ask the user for a
// password in its terminal (a text agent, pkttyagent, runs for the call);
// the window never asks while it lists devices, and asks through the
// desktop's own agent when the user chooses a locked device.
#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>

#include "device_access.h"

namespace salvitra {

// One block device as the disk service lists it.
struct UdisksBlock {
    QString object;        // D-Bus object path
    std::string device;    // "/dev/sdb"
    dev_t number = 0;
    DriveFacts facts;
};

class UdisksBroker : public QObject, public DeviceBroker {
    Q_OBJECT
public:
    enum class Asking {
        Never,       // fail with AuthNeeded where polkit wants an answer
        InTerminal,  // run a text agent on the terminal for the call
    };
    explicit UdisksBroker(Asking asking, QObject *parent = nullptr);
    ~UdisksBroker() override;

    // True when the service runs, or the bus can start it.
    bool available() const;
    // Follows block devices coming and going (the signals below); false
    // when the service cannot be watched (not installed, no system bus).
    bool watchDevices();

    bool describe(const std::string &path, DriveFacts *facts) override;
    OpenOutcome open(const std::string &path) override;

    // The window's choice of a locked device: asks the service with the
    // desktop's agent allowed to ask for a password, without blocking, and
    // calls done on this object's thread.  A descriptor obtained is kept
    // for the list builds that follow (until the device goes away) and
    // closed by the broker; done sees fd -1 and the state.
    void authorize(const std::string &path, std::function<void(const OpenOutcome &)> done);
    bool authorizing() const { return m_pending > 0; }

    // Reads the service's device list again before the next look-up.
    void invalidate();

signals:
    // Block devices appeared, or a medium came into one; block devices or
    // their medium left (coalesce these: one plug-in gives several).
    void blockAdded();
    void blockRemoved();
    void mediumChanged();

private slots:
    void onInterfacesAdded(const QDBusMessage &msg);
    void onInterfacesRemoved(const QDBusMessage &msg);
    void onPropertiesChanged(const QDBusMessage &msg);

private:
    bool refreshLocked();
    const UdisksBlock *findLocked(dev_t number);
    OpenOutcome callOpen(const QString &object, bool interactive);
    bool startAgent();
    void stopAgent();
    int takeKept(dev_t number);
    void dropKept(const QString &object);

    Asking m_asking;
    mutable std::mutex m_mu;       // the device list and the kept descriptors
    bool m_fresh = false;
    std::map<dev_t, UdisksBlock> m_blocks;
    std::map<dev_t, std::pair<QString, int>> m_kept;  // number -> object, descriptor
    pid_t m_agent = -1;
    bool m_agentTried = false;
    int m_pending = 0;
};

// The text of an outcome for a person: "Authentication needed", ...
std::string accessStateText(AccessState s);

}  // namespace salvitra
