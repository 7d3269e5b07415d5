#pragma once

namespace zdb {

// Lets the window handle its pending events from inside a handler.
class EventPump {
public:
    virtual ~EventPump() = default;
    // Handle what is pending now, then return.
    virtual void doEvents() = 0;
    // Handle events, sleeping until one arrives or maxMs has passed.
    virtual void waitEvents(int maxMs) = 0;
    // Repaint what is due, leaving the user's input queued for later.
    virtual void paintEvents() = 0;
};

class QtEventPump : public EventPump {
public:
    void doEvents() override;
    void waitEvents(int maxMs) override;
    void paintEvents() override;
};

} // namespace zdb
