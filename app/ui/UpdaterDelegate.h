#pragma once
// The update framework's delegate: when an update was found, the
// framework's windows are kept in front of everything.

#include <memory>

#include "platform/runtime/Runtime.h"

class UpdaterDelegate : public RuntimeObject {
  public:
    // "Lumbrel.UpdaterDelegate", adopting SUUpdaterDelegate.
    static Class runtimeClass();
    // Created on first use, never released.
    static const std::shared_ptr<UpdaterDelegate>& shared();
    UpdaterDelegate();

    void updaterDidFindValidUpdate(const id& updater, const id& item);
};
