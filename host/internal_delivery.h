#pragma once

namespace host::internal {

/// Marks a notification of a tool as being delivered for as long as it runs,
/// also when the tool's reaction throws; sets made meanwhile are not notified.
class DeliveryScope {
public:
    explicit DeliveryScope(int& depth) noexcept : depth_(depth) { ++depth_; }
    ~DeliveryScope() { --depth_; }
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;

private:
    int& depth_;
};

}  // namespace host::internal
