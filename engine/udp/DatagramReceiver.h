#pragma once

namespace tarnwick {

// Whoever takes the datagrams of a UDP socket (CSocketUDP) when its loop says some wait:
// the relay for its listening socket, an association for its socket towards the
// destination.
class DatagramReceiver {
public:
    virtual void OnDatagram() = 0;

protected:
    ~DatagramReceiver() = default;
};

}  // namespace tarnwick
