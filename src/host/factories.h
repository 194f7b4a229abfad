// The factory function of every component class, one per source file.
// Each returns a new instance, or null when allocation fails.
#pragma once

#include "gavio/component.h"

namespace gavio {

IComponent* NewMemoryManager();
IComponent* NewInterval();
IComponent* NewTimeout();
IComponent* NewBuffer();
IComponent* NewFileSysMgr();
IComponent* NewWorkerThread();
IComponent* NewFileUtils();
IComponent* NewFileObject();
IComponent* NewIpcChannel();
IComponent* NewBase64();
IComponent* NewDigest();
IComponent* NewBlockCipher();
IComponent* NewTcpClient();
IComponent* NewUdpClient();
IComponent* NewHttpProxy();
IComponent* NewSock5Proxy();

}  // namespace gavio
