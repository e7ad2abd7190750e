#pragma once

namespace rodiz {

// The library's error codes. The values are fixed: device error responses map
// into them arithmetically (FRAP 1.0 byte b -> 8 + b, FRAP 2.0 byte b -> 44 + b),
// and they appear as numbers in logs. Values 3, 23, 24 and 69 are unassigned.
enum ErrorCode : int {
  NoError = 0,
  InternalError = 1,
  CommandResponseTooShort = 2,
  NoResponse = 4,
  NotConnected = 5,
  RegisterDeviceNotificationFailed = 6,
  InvalidDeviceHandle = 7,
  Frp10Error0 = 8,
  Frp10Error1 = 9,
  Frp10Error2 = 10,
  Frp10Error3 = 11,
  Frp10Error4 = 12,
  Frp10Error5 = 13,
  Frp10Error6 = 14,
  Frp10Error7 = 15,
  Frp10Error8 = 16,
  Frp10Error9 = 17,
  Frp10Error10 = 18,
  Frp10Error11 = 19,
  Frp10Error12 = 20,
  Frp10ErrorOther = 21,
  NotFrp20 = 22,
  WriteExceedsCollectionSize = 25,
  CannotPerformBlockingWriteOnReadThread = 26,
  CannotPerformWriteWithoutReadThreadRunning = 27,
  DeviceRemoved = 28,
  EmptyResponse = 29,
  FeatureNotSupported = 30,
  SystemLibraryMissing = 31,
  NoFilePath = 32,
  CreateFileFailed = 33,
  GetAttributesFailed = 34,
  GetPreparsedDataFailed = 35,
  HidCapsFailed = 36,
  NotVendorUsagePage = 37,
  NotFrapCollection = 38,
  WriteTimeout = 39,
  WriteError = 40,
  CreateWindowFailed = 41,
  SystemCallFailed = 42,
  SubscribeCastFailed = 43,
  Frp20Error0 = 44,
  Frp20Error1 = 45,
  Frp20Error2 = 46,
  Frp20Error3 = 47,
  Frp20Error4 = 48,
  Frp20Error5 = 49,
  Frp20Error6 = 50,
  Frp20Error7 = 51,
  Frp20Error8 = 52,
  Frp20Error9 = 53,
  Frp20ErrorOther = 54,
  Abandoned = 55,
  InvalidDeviceData = 56,
  DescriptorIndexOutOfRange = 57,
  IndexOutOfRange = 58,
  ParameterSizeMismatch = 59,
  UnknownIdentifier = 60,
  WriteGenFailure = 61,
  WindowThreadFailed = 62,
  RegisterInterfaceNotificationFailed = 63,
  BluetoothNotificationFailed = 64,
  DeviceCountMismatch = 65,
  PendingWriteInProgress = 66,
  FwVersionChanged = 67,
  SwidConflict = 68,
  ForeignVendor = 70,
  WriteTooShort = 71,
  ShuttingDown = 72,
  RadioNotPresent = 73,
  BluetoothDeviceInfoFailed = 74,
  FileHandleClosed = 75,
  InvalidConfigItem = 76,
  EnumerationRetriesExhausted = 77,
  PingMismatch = 78,
};

// The enumerator's name ("NoResponse"), or "UnassignedErrorCode" for values that
// have none. The result is a static string: callers may keep the pointer.
const char* error_code_name(ErrorCode code);

// Maps the error byte of a FRAP 1.0 error response (8 + b, 21 above 12).
ErrorCode frap10_error(unsigned error_byte);
// Maps the error byte of a FRAP 2.0 error response (44 + b, 54 above 9).
ErrorCode frap20_error(unsigned error_byte);

}  // namespace rodiz
