// The factory list: the factory function of every component class, one per
// source file, each defined beside its class. Only the registration table
// includes this header; component code does not reach up into the host.
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
IComponent* NewZipReader();
IComponent* NewArchiveExtractor();
IComponent* NewWindowMaker();
IComponent* NewWindowTimerService();
IComponent* NewTcpClient();
IComponent* NewUdpClient();
IComponent* NewHttpProxy();
IComponent* NewSock5Proxy();
IComponent* NewConnector();
IComponent* NewConnectorFrontEndA();
IComponent* NewConnectorFrontEndB();
IComponent* NewXmlDocument();
IComponent* NewXmlDocumentAlt();
IComponent* NewUpdateInfoStandard();
IComponent* NewVersionUpdater();
IComponent* NewWebBrowser();
IComponent* NewHashCheckManager();
IComponent* NewSecurityVerifier();
IComponent* NewHashCheckHandler();
IComponent* NewVerifyInfoHandler();
IComponent* NewNetSpeedDetector();
IComponent* NewConnectorManager();

}  // namespace gavio
