#include "frontend/FormComponents.h"

#include "serial/QvSerialPort.h"
#include "telephony/QvPhone.h"
#include "transfer/QvFile.h"

namespace vh {

void SetFormProperties(qv::QvPhone& phone)
{
    phone.SetName(QStringLiteral("QvPhone1"));
    phone.SetAutoDisconnect(true);
    phone.SetMediaMode(qv::mmData);
    phone.SetLinePrivilege(qv::lpOwner);
    phone.ExtDevHandSet().SetMicGain(10);
    phone.ExtDevHandSet().SetSpeakerVolume(10);
    phone.ExtDevAux().SetMicGain(10);
    phone.ExtDevAux().SetSpeakerVolume(10);
    phone.ModemSpeaker().SetVolume(qv::svDefault);
    phone.ModemSpeaker().SetMode(qv::smDefault);
    phone.SetShowModemIcon(false);
    phone.SetWaitForDialTone(false);
    phone.SetTimeOut(10000);
    phone.SetInitialRingNumber(1);
    phone.SetAddressID(0);
}

void SetFormProperties(qv::QvSerialPort& port, qv::QvPhone* linkedTo)
{
    port.SetName(QStringLiteral("QvSerialPort1"));
    port.SetLinkedTo(linkedTo);
    port.BufferIn().SetSize(1024);
    port.BufferIn().SetEnabled(true);
    port.ManualSettings().SetPort(qv::pnCOM3);
    port.ManualSettings().SetBaudRate(qv::br115200);
    port.ManualSettings().SetDataBits(qv::db8Bits);
    port.ManualSettings().SetStopBits(qv::sb1Bits);
    port.ManualSettings().SetParity(qv::ptNone);
    port.ManualSettings().SetHardwareFlow(qv::hfRTSCTS);
    port.ManualSettings().SetSoftwareFlow(qv::sfNone);
    port.SetMaxReceiveSize(4096);
    port.SetMaxSendSize(4096);
    port.SetMonitorReceiveData(true);
    port.SetTimerEnabled(false);
    port.SetTimerInterval(0);
}

void SetFormProperties(qv::QvFile& file, qv::QvSerialPort& port)
{
    file.SetName(QStringLiteral("QvFile1"));
    file.Compress().SetFileExt(QStringLiteral(".QV"));
    file.Transfer().SetLinkedTo(&port);
    file.Transfer().SetMaxRetries(122);
    file.Transfer().SetReceiveExistingFiles(qv::efCreateWithNewName);
    file.Transfer().SetResumedTransferAlternative(qv::efCreateWithNewName);
    file.Transfer().SetResumedTransferCheckDate(false);
    file.Transfer().SetReceiveFileDateTime(qv::dtUseOriginal);
}

} // namespace vh
