// The lock interface of the frame queue.
#pragma once

class ZoSyncObj {
 public:
  virtual int Lock(unsigned int timeout) = 0;
  virtual int Unlock() = 0;

 protected:
  // Never deleted through this interface.
  ~ZoSyncObj() = default;
};
