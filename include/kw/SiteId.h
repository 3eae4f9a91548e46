// Names the ID of every site where the library throws or traces.
#pragma once

namespace kw {

// The IDs of the library's throw and trace sites, as Exception::getExceptionID
// and Event::getID report them. The numbers are recorded in users' logs and
// event logs and applications filter on them: a value never changes and is
// never reused; a new site takes a new number. Unscoped with int underneath,
// so a name passes where an int or unsigned long ID is taken; write it
// qualified (SiteId::MutexWaitFailed). A number reads 105, the source's two
// digits, the site's two digits; File's sites are 10604 and the site's two.
enum SiteId : int {
  // CommunicationDevice::pushMessage was given a null message.
  NullMessagePushed = 1050201,

  // Msg::fromByteArray: the version field is not 1.
  MsgUnsupportedVersion = 1050601,
  // Msg::fromByteArray: the length field differs from the buffer's size.
  MsgLengthMismatch = 1050602,
  // Msg::fromByteArray: an attribute's name element is not text.
  MsgAttributeNameNotText = 1050603,
  // Msg::fromByteArray: the buffer ends right after an attribute's name.
  MsgAttributeValueMissing = 1050604,
  // Msg::getSerializedSizeRequirement: the message would not fit its length field.
  MsgTooLargeToSerialise = 1050605,
  // Msg::getNextElement: fewer than 8 bytes remain for an element's header.
  MsgElementHeaderTruncated = 1050606,
  // Msg::getNextElement: the element's payload runs past the buffer's end.
  MsgElementPayloadTruncated = 1050607,
  // Msg::getNextElement: the element's data type is not 1, 2 or 3.
  MsgElementTypeUnknown = 1050608,
  // Msg::getNextInt: fewer than 4 bytes remain for an integer.
  MsgIntTruncated = 1050609,

  // Mutex::initialise: the mutex could not be created or opened.
  MutexCreateFailed = 1050701,
  // Mutex::lock: the previous holder ended without releasing; taken over.
  MutexAbandoned = 1050702,
  // Mutex::lock: the wait failed.
  MutexWaitFailed = 1050703,
  // Mutex::release: the mutex could not be released, for instance not held.
  MutexReleaseFailed = 1050704,

  // SharedMemCommDevice: a SystemException ended a send and receive pass.
  SharedMemTransferSystemError = 1050901,
  // SharedMemCommDevice: the shared memory mapping could not be created.
  SharedMemMappingCreateFailed = 1050903,
  // SharedMemCommDevice: the shared memory could not be mapped into view.
  SharedMemMapViewFailed = 1050904,
  // SharedMemCommDevice: a message to send exceeds the block's limit; dropped.
  SharedMemSendTooLarge = 1050905,
  // SharedMemCommDevice: the block's length field exceeds the limit; discarded.
  SharedMemReceiveTooLarge = 1050906,
  // SharedMemCommDevice: no memory for a received message; discarded.
  SharedMemReceiveAllocFailed = 1050907,
  // SharedMemCommDevice: a CommsException ended a send and receive pass.
  SharedMemTransferCommsError = 1050908,
  // SharedMemCommDevice: the shared memory could not be set up; the worker stops.
  SharedMemCreateFailed = 1050909,
  // SharedMemCommDevice: the low-integrity security descriptor could not be built.
  SharedMemLabelDescriptorFailed = 1050910,
  // SharedMemCommDevice: the descriptor's SACL could not be read.
  SharedMemLabelSaclFailed = 1050911,
  // SharedMemCommDevice: the low-integrity label could not be set on an object.
  SharedMemLabelSetFailed = 1050912,

  // Thread::run: an Exception ended the thread.
  ThreadUnexpectedException = 1051001,
  // Thread::run: setup returned false.
  ThreadSetupFailed = 1051002,
  // Thread::terminate: the worker could not be stopped by force; it was let go.
  ThreadStopFailed = 1051003,

  // Tools::widenNarrowString: the widened size could not be computed.
  WidenSizeFailed = 1051101,
  // Tools::widenNarrowString: the conversion failed.
  WidenFailed = 1051102,
  // Tools::narrowWideString: the narrowed size could not be computed.
  NarrowSizeFailed = 1051103,
  // Tools::narrowWideString: the conversion failed.
  NarrowFailed = 1051104,
  // Tools::getUserName: the system gave no account name.
  UserNameUnavailable = 1051105,
  // Tools::getUserName: the account name has no part.
  UserNameEmpty = 1051106,
  // Tools::getUserName: the account name has no domain part.
  UserNameWithoutDomain = 1051107,
  // Tools::getUserName: the account name has more than two parts.
  UserNameExtraParts = 1051108,

  // EventLogDevice: the event source could not be opened.
  EventLogOpenFailed = 1051201,
  // EventLogDevice: the event could not be written.
  EventLogWriteFailed = 1051202,
  // EventLogDevice: an exception arose while writing.
  EventLogUnexpectedException = 1051203,

  // ComponentInstaller installing: the component could not be loaded.
  RegisterLoadFailed = 1051301,
  // ComponentInstaller installing: the component has no DllRegisterServer.
  RegisterEntryMissing = 1051302,
  // ComponentInstaller installing: DllRegisterServer returned a failure.
  RegisterFailed = 1051303,
  // ComponentInstaller installing: the component registered itself.
  RegisterSucceeded = 1051304,
  // ComponentInstaller uninstalling: the component could not be loaded.
  UnregisterLoadFailed = 1051305,
  // ComponentInstaller uninstalling: the component has no DllUnregisterServer.
  UnregisterEntryMissing = 1051306,
  // ComponentInstaller uninstalling: DllUnregisterServer returned a failure.
  UnregisterFailed = 1051307,
  // ComponentInstaller uninstalling: the component unregistered itself.
  UnregisterSucceeded = 1051308,

  // Exception::translate: the Exception a hardware fault became.
  HardwareFault = 1051401,
  // Exception::translate: the trace of a hardware fault, before it is thrown.
  HardwareFaultTraced = 1051402,

  // File::getTempPath: the temporary folder's path is too long.
  TempPathTooLong = 1060401,
  // File::getTempPath: the system gave no temporary folder.
  TempPathUnavailable = 1060402,
  // File::initTempPath: the temporary folder could not be created.
  TempDirCreateFailed = 1060403,
  // File::emptyDirectory: the folder could not be emptied.
  TempDirCleanFailed = 1060404,
  // File::getUsersLocalDataPath: the system gave no per-user data folder.
  DataPathUnavailable = 1060405,
  // File::initUsersLocalDataPath: the per-user data folder could not be created.
  DataDirCreateFailed = 1060406,
  // File::load: the file exceeds the maximum size; it is cut there.
  FileLoadTruncated = 1060407,
};

}  // namespace kw
