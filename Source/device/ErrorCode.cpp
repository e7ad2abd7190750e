#include "device/ErrorCode.h"

namespace rodiz {

const char* error_code_name(ErrorCode code) {
  switch (code) {
    case NoError:
      return "NoError";
    case InternalError:
      return "InternalError";
    case CommandResponseTooShort:
      return "CommandResponseTooShort";
    case NoResponse:
      return "NoResponse";
    case NotConnected:
      return "NotConnected";
    case RegisterDeviceNotificationFailed:
      return "RegisterDeviceNotificationFailed";
    case InvalidDeviceHandle:
      return "InvalidDeviceHandle";
    case Frp10Error0:
      return "Frp10Error0";
    case Frp10Error1:
      return "Frp10Error1";
    case Frp10Error2:
      return "Frp10Error2";
    case Frp10Error3:
      return "Frp10Error3";
    case Frp10Error4:
      return "Frp10Error4";
    case Frp10Error5:
      return "Frp10Error5";
    case Frp10Error6:
      return "Frp10Error6";
    case Frp10Error7:
      return "Frp10Error7";
    case Frp10Error8:
      return "Frp10Error8";
    case Frp10Error9:
      return "Frp10Error9";
    case Frp10Error10:
      return "Frp10Error10";
    case Frp10Error11:
      return "Frp10Error11";
    case Frp10Error12:
      return "Frp10Error12";
    case Frp10ErrorOther:
      return "Frp10ErrorOther";
    case NotFrp20:
      return "NotFrp20";
    case WriteExceedsCollectionSize:
      return "WriteExceedsCollectionSize";
    case CannotPerformBlockingWriteOnReadThread:
      return "CannotPerformBlockingWriteOnReadThread";
    case CannotPerformWriteWithoutReadThreadRunning:
      return "CannotPerformWriteWithoutReadThreadRunning";
    case DeviceRemoved:
      return "DeviceRemoved";
    case EmptyResponse:
      return "EmptyResponse";
    case FeatureNotSupported:
      return "FeatureNotSupported";
    case SystemLibraryMissing:
      return "SystemLibraryMissing";
    case NoFilePath:
      return "NoFilePath";
    case CreateFileFailed:
      return "CreateFileFailed";
    case GetAttributesFailed:
      return "GetAttributesFailed";
    case GetPreparsedDataFailed:
      return "GetPreparsedDataFailed";
    case HidCapsFailed:
      return "HidCapsFailed";
    case NotVendorUsagePage:
      return "NotVendorUsagePage";
    case NotFrapCollection:
      return "NotFrapCollection";
    case WriteTimeout:
      return "WriteTimeout";
    case WriteError:
      return "WriteError";
    case CreateWindowFailed:
      return "CreateWindowFailed";
    case SystemCallFailed:
      return "SystemCallFailed";
    case SubscribeCastFailed:
      return "SubscribeCastFailed";
    case Frp20Error0:
      return "Frp20Error0";
    case Frp20Error1:
      return "Frp20Error1";
    case Frp20Error2:
      return "Frp20Error2";
    case Frp20Error3:
      return "Frp20Error3";
    case Frp20Error4:
      return "Frp20Error4";
    case Frp20Error5:
      return "Frp20Error5";
    case Frp20Error6:
      return "Frp20Error6";
    case Frp20Error7:
      return "Frp20Error7";
    case Frp20Error8:
      return "Frp20Error8";
    case Frp20Error9:
      return "Frp20Error9";
    case Frp20ErrorOther:
      return "Frp20ErrorOther";
    case Abandoned:
      return "Abandoned";
    case InvalidDeviceData:
      return "InvalidDeviceData";
    case DescriptorIndexOutOfRange:
      return "DescriptorIndexOutOfRange";
    case IndexOutOfRange:
      return "IndexOutOfRange";
    case ParameterSizeMismatch:
      return "ParameterSizeMismatch";
    case UnknownIdentifier:
      return "UnknownIdentifier";
    case WriteGenFailure:
      return "WriteGenFailure";
    case WindowThreadFailed:
      return "WindowThreadFailed";
    case RegisterInterfaceNotificationFailed:
      return "RegisterInterfaceNotificationFailed";
    case BluetoothNotificationFailed:
      return "BluetoothNotificationFailed";
    case DeviceCountMismatch:
      return "DeviceCountMismatch";
    case PendingWriteInProgress:
      return "PendingWriteInProgress";
    case FwVersionChanged:
      return "FwVersionChanged";
    case SwidConflict:
      return "SwidConflict";
    case ForeignVendor:
      return "ForeignVendor";
    case WriteTooShort:
      return "WriteTooShort";
    case ShuttingDown:
      return "ShuttingDown";
    case RadioNotPresent:
      return "RadioNotPresent";
    case BluetoothDeviceInfoFailed:
      return "BluetoothDeviceInfoFailed";
    case FileHandleClosed:
      return "FileHandleClosed";
    case InvalidConfigItem:
      return "InvalidConfigItem";
    case EnumerationRetriesExhausted:
      return "EnumerationRetriesExhausted";
    case PingMismatch:
      return "PingMismatch";
  }
  // Unassigned values (3, 23, 24, 69) and anything out of range.
  return "UnassignedErrorCode";
}

ErrorCode frap10_error(unsigned error_byte) {
  return error_byte <= 12 ? static_cast<ErrorCode>(Frp10Error0 + static_cast<int>(error_byte)) : Frp10ErrorOther;
}

ErrorCode frap20_error(unsigned error_byte) {
  return error_byte <= 9 ? static_cast<ErrorCode>(Frp20Error0 + static_cast<int>(error_byte)) : Frp20ErrorOther;
}

}  // namespace rodiz
