#pragma once

namespace Quorin_Core::RT_Serial::Protocol::SDO {

/// Told, on the producer's thread, that a queue has taken a message in, so that its consumer
/// wakes for it instead of polling. It only hands the work over (posts it), never does it there,
/// and it is called outside the queue's lock.
class Fill_Listener {
public:
    virtual void queue_filled() = 0;

protected:
    ~Fill_Listener() = default;
};

}  // namespace Quorin_Core::RT_Serial::Protocol::SDO
