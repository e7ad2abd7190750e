#pragma once

#include <windows.h>

#include <cstddef>

// The types of the system's Bluetooth low-energy GATT functions
// (BluetoothApis.dll), which the cross toolchain's headers lack. They follow
// the system's declarations field for field; the functions themselves are
// loaded at run time (IWin32System).
namespace rodiz::gatt {

struct Uuid {
  BOOLEAN IsShortUuid;
  union {
    USHORT ShortUuid;
    GUID LongUuid;
  } Value;
};

struct Service {
  Uuid ServiceUuid;
  USHORT AttributeHandle;
};

struct Characteristic {
  USHORT ServiceHandle;
  Uuid CharacteristicUuid;
  USHORT AttributeHandle;
  USHORT CharacteristicValueHandle;
  BOOLEAN IsBroadcastable;
  BOOLEAN IsReadable;
  BOOLEAN IsWritable;
  BOOLEAN IsWritableWithoutResponse;
  BOOLEAN IsSignedWritable;
  BOOLEAN IsNotifiable;
  BOOLEAN IsIndicatable;
  BOOLEAN HasExtendedProperties;
};

struct CharacteristicValue {
  ULONG DataSize;
  UCHAR Data[1];
};

enum DescriptorType : int {
  CharacteristicExtendedProperties = 0,
  CharacteristicUserDescription = 1,
  ClientCharacteristicConfiguration = 2,
  ServerCharacteristicConfiguration = 3,
  CharacteristicFormat = 4,
  CharacteristicAggregateFormat = 5,
  CustomDescriptor = 6,
};

struct Descriptor {
  USHORT ServiceHandle;
  USHORT CharacteristicHandle;
  DescriptorType DescriptorType;
  Uuid DescriptorUuid;
  USHORT AttributeHandle;
};

struct DescriptorValue {
  DescriptorType DescriptorType;
  Uuid DescriptorUuid;
  union {
    struct {
      BOOLEAN IsReliableWriteEnabled;
      BOOLEAN IsAuxiliariesWritable;
    } CharacteristicExtendedProperties;
    struct {
      BOOLEAN IsSubscribeToNotification;
      BOOLEAN IsSubscribeToIndication;
    } ClientCharacteristicConfiguration;
    struct {
      BOOLEAN IsBroadcast;
    } ServerCharacteristicConfiguration;
    struct {
      UCHAR Format;
      UCHAR Exponent;
      Uuid Unit;
      UCHAR NameSpace;
      Uuid Description;
    } CharacteristicFormat;
  };
  ULONG DataSize;
  UCHAR Data[1];
};

enum EventType : int { CharacteristicValueChangedEvent = 0 };

struct ValueChangedEventRegistration {
  USHORT NumCharacteristics;
  Characteristic Characteristics[1];
};

struct ValueChangedEvent {
  USHORT ChangedAttributeHandle;
  std::size_t CharacteristicValueDataSize;
  CharacteristicValue* CharacteristicValue;
};

using EventHandle = HANDLE;
using EventCallback = void(CALLBACK*)(EventType type, PVOID event_out, PVOID context);
using ReliableWriteContext = ULONG64;

constexpr ULONG kFlagNone = 0;
constexpr ULONG kFlagWriteWithoutResponse = 0x20;

}  // namespace rodiz::gatt
