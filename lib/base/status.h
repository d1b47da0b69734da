// Status codes returned by every fallible internal operation, and the
// macros that forward them unchanged up the call chain.
#ifndef QOV_LIB_BASE_STATUS_H_
#define QOV_LIB_BASE_STATUS_H_

#include <cstdint>
#include <optional>
#include <utility>

namespace qov {

// The only three codes a Status can hold.
enum class StatusValue : int32_t {
  Ok = 0,
  Failed = 1,
  // The input ended early; the operation may succeed once more bytes arrive.
  NeedMoreBytes = -1,
};

class [[nodiscard]] Status {
 public:
  constexpr Status() : value_(StatusValue::Ok) {}
  constexpr Status(StatusValue value) : value_(value) {}  // NOLINT: implicit by design

  constexpr bool ok() const { return value_ == StatusValue::Ok; }
  constexpr bool failed() const { return value_ == StatusValue::Failed; }
  constexpr bool need_more_bytes() const {
    return value_ == StatusValue::NeedMoreBytes;
  }
  constexpr StatusValue code() const { return value_; }
  constexpr int32_t raw() const { return static_cast<int32_t>(value_); }

  constexpr bool operator==(const Status& o) const { return value_ == o.value_; }
  constexpr bool operator!=(const Status& o) const { return value_ != o.value_; }
  constexpr bool operator==(StatusValue v) const { return value_ == v; }
  constexpr bool operator!=(StatusValue v) const { return value_ != v; }

  // Explicitly drops a status whose outcome does not matter to the caller.
  constexpr void IgnoreError() const {}

 private:
  StatusValue value_;
};

constexpr Status OkStatus() { return Status(StatusValue::Ok); }
constexpr Status FailedStatus() { return Status(StatusValue::Failed); }
constexpr Status NeedMoreBytesStatus() {
  return Status(StatusValue::NeedMoreBytes);
}

// A value that is meaningful only when the status is Ok. A failed StatusOr
// holds (and so destroys) no value.
template <typename T>
class [[nodiscard]] StatusOr {
 public:
  StatusOr(Status status) : status_(status) {}  // NOLINT: implicit by design
  StatusOr(StatusValue status) : status_(status) {}  // NOLINT
  StatusOr(T&& value) : value_(std::move(value)), status_(OkStatus()) {}  // NOLINT
  StatusOr(const T& value) : value_(value), status_(OkStatus()) {}  // NOLINT

  StatusOr(StatusOr&&) = default;
  StatusOr& operator=(StatusOr&&) = default;

  bool ok() const { return status_.ok(); }
  Status status() const { return status_; }

  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }

  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace qov

#define QOV_STATUS_CONCAT_INNER_(a, b) a##b
#define QOV_STATUS_CONCAT_(a, b) QOV_STATUS_CONCAT_INNER_(a, b)

// Returns from the enclosing function when `expr` is not Ok.
#define QOV_RETURN_IF_ERROR(expr)                 \
  do {                                            \
    const ::qov::Status qov_status_tmp_ = (expr); \
    if (!qov_status_tmp_.ok()) return qov_status_tmp_; \
  } while (0)

// The status of a failure (bad data, a limit exceeded, misuse).
#define QOV_FAILURE() ::qov::Status(::qov::StatusValue::Failed)

// Fails the enclosing function when `cond` does not hold.
#define QOV_ENSURE(cond)                       \
  do {                                         \
    if (!(cond)) return QOV_FAILURE();         \
  } while (0)

// lhs = value of the StatusOr `rexpr`, or return its status.
#define QOV_ASSIGN_OR_RETURN(lhs, rexpr)                                   \
  QOV_ASSIGN_OR_RETURN_IMPL_(QOV_STATUS_CONCAT_(qov_statusor_, __LINE__), \
                             lhs, rexpr)
#define QOV_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, rexpr) \
  auto tmp = (rexpr);                               \
  if (!tmp.ok()) return tmp.status();               \
  lhs = std::move(tmp).value()

#endif  // QOV_LIB_BASE_STATUS_H_
