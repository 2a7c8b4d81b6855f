#pragma once

// The Omx SDK's calling surface: the root class, the interfaces of the objects
// the root makes, and their ProgIDs. Every object is an IDispatch, so any
// object can travel inside a VARIANT as VT_DISPATCH; callers use the
// interfaces' methods directly, never IDispatch::Invoke. Every method returns
// an HRESULT and leaves out-parameters empty (VT_EMPTY or null) when it fails.

#include <oaidl.h>
#include <objbase.h>
#include <rpcndr.h>
#include <windows.h>

// __uuidof works on these interfaces with either compiler: MSVC takes the uuid
// from MIDL_INTERFACE, mingw-w64 from this declaration.
#if defined(__MINGW32__)
#define QM_OMX_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
#else
#define QM_OMX_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
#endif

// The SDK's root object, created by qm::omx::kRootClassId.
MIDL_INTERFACE("6A306BB0-AAB1-44FB-ACD5-D6EF7E300BA0")
IOmxRoot : public IDispatch {
  // Makes every other SDK object; `context` is the "Omx.Context" object, or
  // null when the context itself is made.
  virtual HRESULT STDMETHODCALLTYPE CreateObject(BSTR prog_id, IDispatch * context,
                                                 IDispatch * *object) = 0;
};
QM_OMX_UUID_DECL(IOmxRoot, 0x6a306bb0, 0xaab1, 0x44fb, 0xac, 0xd5, 0xd6, 0xef, 0x7e, 0x30, 0x0b,
                 0xa0)

// "Omx.Context": carries the communication object to every later object.
MIDL_INTERFACE("C9F2BD7E-3FD6-4805-BE98-13C1D6EFA12D")
IOmxContext : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE SetProperty(BSTR name, VARIANT value) = 0;
};
QM_OMX_UUID_DECL(IOmxContext, 0xc9f2bd7e, 0x3fd6, 0x4805, 0xbe, 0x98, 0x13, 0xc1, 0xd6, 0xef, 0xa1,
                 0x2d)

// "Omx.Communication".
MIDL_INTERFACE("D1DBACF1-9C64-427D-819A-5B44C0C7A1E1")
IOmxCommunication : public IDispatch{
                        // Offers nothing to the program: it is only handed to the context.
                    };
QM_OMX_UUID_DECL(IOmxCommunication, 0xd1dbacf1, 0x9c64, 0x427d, 0x81, 0x9a, 0x5b, 0x44, 0xc0, 0xc7,
                 0xa1, 0xe1)

// "Omx.Configuration": configuration items and the value store, addressed by
// (scope 0, item id).
MIDL_INTERFACE("3B9B3005-F7E3-4E9D-AD85-C76551182610")
IOmxConfiguration : public IDispatch {
  // `value` is cleared by the SDK before it is filled.
  virtual HRESULT STDMETHODCALLTYPE GetValue(LONG scope, LONG id, VARIANT * value) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetValue(LONG scope, LONG id, VARIANT value) = 0;
};
QM_OMX_UUID_DECL(IOmxConfiguration, 0x3b9b3005, 0xf7e3, 0x4e9d, 0xad, 0x85, 0xc7, 0x65, 0x51, 0x18,
                 0x26, 0x10)

// "Omx.License".
MIDL_INTERFACE("2381DB03-181F-43AA-B64E-AB3F66EEC4AE")
IOmxLicense : public IDispatch {
  // `query` is VT_EMPTY for the whole licence information (a map).
  virtual HRESULT STDMETHODCALLTYPE GetLicenseInfo(VARIANT query, VARIANT * info) = 0;
};
QM_OMX_UUID_DECL(IOmxLicense, 0x2381db03, 0x181f, 0x43aa, 0xb6, 0x4e, 0xab, 0x3f, 0x66, 0xee, 0xc4,
                 0xae)

// "Omx.Statistics".
MIDL_INTERFACE("4CCB96E1-47F9-44D2-B6CA-0CC3D89C643C")
IOmxStatistics : public IDispatch {
  // `filters` maps report keys to date-time filters; the report maps the same
  // keys to category maps. `*report` is overwritten, never released: pass an empty slot.
  virtual HRESULT STDMETHODCALLTYPE GetStatistics(IDispatch * filters, IDispatch * *report) = 0;
};
QM_OMX_UUID_DECL(IOmxStatistics, 0x4ccb96e1, 0x47f9, 0x44d2, 0xb6, 0xca, 0x0c, 0xc3, 0xd8, 0x9c,
                 0x64, 0x3c)

// "Omx.Datastore".
MIDL_INTERFACE("0A9A3223-D951-4A0C-B31E-77C4802B9EE3")
IOmxDatastore : public IDispatch {
  // `query` is a VT_DISPATCH map; `result` is cleared before it is filled.
  virtual HRESULT STDMETHODCALLTYPE ExecuteQuery(VARIANT query, VARIANT * result) = 0;
};
QM_OMX_UUID_DECL(IOmxDatastore, 0x0a9a3223, 0xd951, 0x4a0c, 0xb3, 0x1e, 0x77, 0xc4, 0x80, 0x2b,
                 0x9e, 0xe3)

// "Omx.TuneUpReports".
MIDL_INTERFACE("9439A41D-727D-4D6D-A646-BA0251D1A823")
IOmxTuneUpReports : public IDispatch {
  // The reports as an "Omx.List" of maps; `*reports` is overwritten, never released.
  virtual HRESULT STDMETHODCALLTYPE GetReports(IDispatch * *reports) = 0;
};
QM_OMX_UUID_DECL(IOmxTuneUpReports, 0x9439a41d, 0x727d, 0x4d6d, 0xa6, 0x46, 0xba, 0x02, 0x51, 0xd1,
                 0xa8, 0x23)

// "Omx.DateTimeObject".
MIDL_INTERFACE("26FBEF28-3598-4B2F-88ED-5375C1D3D4E6")
IOmxDateTime : public IDispatch {
  // The parts may be of any integer VARIANT type.
  virtual HRESULT STDMETHODCALLTYPE SetDate(VARIANT year, VARIANT month, VARIANT day) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetTime(VARIANT hour, VARIANT minute, VARIANT second) = 0;
};
QM_OMX_UUID_DECL(IOmxDateTime, 0x26fbef28, 0x3598, 0x4b2f, 0x88, 0xed, 0x53, 0x75, 0xc1, 0xd3, 0xd4,
                 0xe6)

// "Omx.DateTimeFilterObject".
MIDL_INTERFACE("2D9E4C4A-1DF7-459F-ADE4-F4A105A54B73")
IOmxDateTimeFilter : public IDispatch {
  // Each takes an "Omx.DateTimeObject" as a VT_DISPATCH value.
  virtual HRESULT STDMETHODCALLTYPE SetStart(VARIANT date_time) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEnd(VARIANT date_time) = 0;
};
QM_OMX_UUID_DECL(IOmxDateTimeFilter, 0x2d9e4c4a, 0x1df7, 0x459f, 0xad, 0xe4, 0xf4, 0xa1, 0x05, 0xa5,
                 0x4b, 0x73)

// "Omx.StringMap" and "Omx.VariantMap", and every map handed back inside a
// value. Keys are text (VT_BSTR).
MIDL_INTERFACE("2248734F-E76F-412A-90FF-F8CB6988AE59")
IOmxMap : public IDispatch {
  // `Add` refuses a key already present; `Set` replaces or appends.
  virtual HRESULT STDMETHODCALLTYPE Add(VARIANT key, VARIANT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Set(VARIANT key, VARIANT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Get(VARIANT key, VARIANT * value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Count(LONG * count) = 0;
  // Entries keep the order in which they were added.
  virtual HRESULT STDMETHODCALLTYPE KeyAt(LONG index, VARIANT * key) = 0;
  virtual HRESULT STDMETHODCALLTYPE ValueAt(LONG index, VARIANT * value) = 0;
};
QM_OMX_UUID_DECL(IOmxMap, 0x2248734f, 0xe76f, 0x412a, 0x90, 0xff, 0xf8, 0xcb, 0x69, 0x88, 0xae,
                 0x59)

// "Omx.List", and every list handed back inside a value.
MIDL_INTERFACE("4597F5D7-4DCA-41DC-BD6E-34A13988395B")
IOmxList : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Count(LONG * count) = 0;
  virtual HRESULT STDMETHODCALLTYPE ItemAt(LONG index, VARIANT * item) = 0;
};
QM_OMX_UUID_DECL(IOmxList, 0x4597f5d7, 0x4dca, 0x41dc, 0xbd, 0x6e, 0x34, 0xa1, 0x39, 0x88, 0x39,
                 0x5b)

// The result collection inside a per-user datastore answer.
MIDL_INTERFACE("9713E35A-52ED-4973-B323-5DA95EA90A1D")
IOmxResultCollection : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Size(LONG * size) = 0;
};
QM_OMX_UUID_DECL(IOmxResultCollection, 0x9713e35a, 0x52ed, 0x4973, 0xb3, 0x23, 0x5d, 0xa9, 0x5e,
                 0xa9, 0x0a, 0x1d)

#undef QM_OMX_UUID_DECL

namespace qm::omx {

// Class of the root object, created with class context 23 inside the SDK's
// activation context.
inline constexpr CLSID kRootClassId = {
    0x14143984, 0x921e, 0x4bfb, {0xa5, 0xb7, 0xdc, 0x80, 0xb1, 0xa5, 0xfe, 0x96}};

// The scope of every configuration item the program reads or writes.
inline constexpr LONG kDefaultScope = 0;

inline constexpr wchar_t kContextProgId[] = L"Omx.Context";
inline constexpr wchar_t kCommunicationProgId[] = L"Omx.Communication";
inline constexpr wchar_t kConfigurationProgId[] = L"Omx.Configuration";
inline constexpr wchar_t kLicenseProgId[] = L"Omx.License";
inline constexpr wchar_t kStatisticsProgId[] = L"Omx.Statistics";
inline constexpr wchar_t kDatastoreProgId[] = L"Omx.Datastore";
inline constexpr wchar_t kTuneUpReportsProgId[] = L"Omx.TuneUpReports";
inline constexpr wchar_t kDateTimeProgId[] = L"Omx.DateTimeObject";
inline constexpr wchar_t kDateTimeFilterProgId[] = L"Omx.DateTimeFilterObject";
inline constexpr wchar_t kStringMapProgId[] = L"Omx.StringMap";
inline constexpr wchar_t kVariantMapProgId[] = L"Omx.VariantMap";
inline constexpr wchar_t kListProgId[] = L"Omx.List";

// The context property that holds the communication object.
inline constexpr wchar_t kContextCommunicationProperty[] = L"ContextCommunication";

}  // namespace qm::omx
