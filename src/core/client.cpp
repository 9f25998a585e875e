// The client object: its record, the connection and the stored error text.
#include <cstdio>
#include <new>

#include "core/record.h"
#include "core/texts.h"
#include "core/transaction.h"
#include "host/herald.h"

KestrelCore::KestrelCore() : lock(new kestrel::TransactionLock), exchange(&kestrel::transact) {}

kestrel::Endpoint KestrelCore::endpoint() const {
  kestrel::Endpoint copy;
  std::lock_guard<std::mutex> hold(endpoint_mutex_);
  std::snprintf(copy.address, sizeof copy.address, "%s", address_);
  copy.port = port_;
  return copy;
}

void KestrelCore::set_endpoint(const char* address, int port) {
  std::lock_guard<std::mutex> hold(endpoint_mutex_);
  std::snprintf(address_, sizeof address_, "%s", address ? address : "");
  port_ = port;
}

void KestrelCore::set_error(std::initializer_list<const char*> parts) {
  std::lock_guard<std::mutex> hold(error_mutex_);
  std::size_t length = 0;
  for (const char* part : parts) {
    for (; part != nullptr && *part != '\0' && length + 1 < sizeof error_; ++part) {
      error_[length++] = *part;
    }
  }
  error_[length] = '\0';
}

const char* KestrelCore::error() const { return error_; }

void KestrelCore::clear_error() { set_error({}); }

Kestrel::Kestrel() : core_(nullptr) { core_ = new KestrelCore; }

Kestrel::Kestrel(Corvus::Procedure* procedure) : core_(nullptr) {
  core_ = new KestrelCore;
  core_->owner = procedure;
  // Cut to 63 characters.
  if (std::snprintf(core_->title, sizeof core_->title, "%s/Kestrel",
                    procedure->Procedure_Get_Name()) < 0) {
    core_->title[0] = '\0';
  }
}

Kestrel::Kestrel(const Kestrel& other) : core_(other.core_) {}

Kestrel::~Kestrel() {
  if (core_ == nullptr) return;
  delete core_->lock;
  delete core_;
  core_ = nullptr;
}

Kestrel& Kestrel::operator=(const Kestrel& other) {
  core_ = other.core_;
  return *this;
}

bool Kestrel::Kestrel_Connect_Port(const char* address, int port) {
  if (address == nullptr) address = "";
  core_->set_endpoint(address, port);
  core_->link.Lynk_Set_Title(core_->title);
  if (core_->link.Lynk_Connect_Port(address, port, true, false)) {
    core_->set_failure(kestrel::Failure::kOk);
    Corvus::Herald_Green(core_->title, kestrel::text::kConnectSuccess, address, port);
    return true;
  }
  core_->set_failure(kestrel::Failure::kNotConnected);
  Corvus::Herald_Red(core_->title, kestrel::text::kConnectError, address, port);
  return false;
}

bool Kestrel::Kestrel_Disconnect_Port() {
  const bool closed = core_->link.Lynk_Disconnect_Port();
  core_->set_failure(closed ? kestrel::Failure::kOk : kestrel::Failure::kNotConnected);
  const kestrel::Endpoint endpoint = core_->endpoint();
  if (closed) {
    Corvus::Herald_Yellow(core_->title, kestrel::text::kDisconnectSuccess, endpoint.address,
                          endpoint.port);
  } else {
    Corvus::Herald_Red(core_->title, kestrel::text::kDisconnectError, endpoint.address,
                       endpoint.port);
  }
  return closed;
}

bool Kestrel::Kestrel_Reconnect_Port() {
  Kestrel_Disconnect_Port();
  const kestrel::Endpoint endpoint = core_->endpoint();
  return Kestrel_Connect_Port(endpoint.address, endpoint.port);
}

bool Kestrel::Kestrel_Connect_Status() {
  if (core_->link.Lynk_Connect_Status()) {
    core_->set_failure(kestrel::Failure::kOk);
    return true;
  }
  core_->set_failure(kestrel::Failure::kNotConnected);
  const kestrel::Endpoint endpoint = core_->endpoint();
  Corvus::Herald_Red(core_->title, kestrel::text::kDisconnectWarning, endpoint.address,
                     endpoint.port);
  return false;
}

void Kestrel::Kestrel_SetTimeout(int ms) { core_->timeout.store(ms < 1000 ? 1000 : 10000); }

int Kestrel::Kestrel_GetTimeout() { return core_->timeout.load(); }

const char* Kestrel::Kestrel_GetErrorString() { return core_->error(); }

void Kestrel::Kestrel_ClearErrorString() { core_->clear_error(); }
