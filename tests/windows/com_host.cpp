// A point-of-sale host that knows the library only through late binding: it creates the printer
// port by its ProgID, finds members by name (in any letter case), calls them through Invoke with
// the VARIANTs a host makes, listens to the events through a connection point, and runs its own
// message loop. It prints a receipt on the virtual printer over 127.0.0.1 and checks what the
// automation server answers to calls that are wrong.
//
//   vtl_com_host HOST:PORT       print and check; exit code 0 when every check held
//   vtl_com_host --unregistered  the ProgIDs must be unknown (after regsvr32 /u)
#include <ocidl.h>
#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void Check(bool ok, const char* what, int line) {
  if (!ok) {
    ++g_failures;
    std::printf("FAILED (line %d): %s\n", line, what);
    std::fflush(stdout);
  }
}
#define CHECK(cond) Check((cond), #cond, __LINE__)

std::string Narrow(const wchar_t* w) {
  std::string s;
  for (; w && *w; ++w) s += *w < 0x80 ? static_cast<char>(*w) : '?';
  return s;
}

// The host's own message loop, until `done` holds or `ms` milliseconds have passed.
bool Pump(const std::function<bool()>& done, DWORD ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    if (GetTickCount() - start >= ms) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

// A call by name, arguments in declaration order; what Invoke answered.
struct Call {
  HRESULT hr = S_OK;
  VARIANT result{};
  EXCEPINFO excep{};
  UINT argErr = ~0u;
  ~Call() {
    VariantClear(&result);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
};

DISPID IdOf(IDispatch* d, const wchar_t* name) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR n = const_cast<LPOLESTR>(name);
  if (FAILED(d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id))) return DISPID_UNKNOWN;
  return id;
}

void Invoke(Call& c, IDispatch* d, const wchar_t* name, WORD flags, std::vector<VARIANT> args,
            std::vector<DISPID> named = {}) {
  const DISPID id = IdOf(d, name);
  // Positional arguments go last to first; with named ones the caller gives rgvarg's order.
  std::vector<VARIANT> reversed =
      named.empty() ? std::vector<VARIANT>(args.rbegin(), args.rend()) : args;
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS dp{reversed.empty() ? nullptr : reversed.data(), nullptr,
                static_cast<UINT>(reversed.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    dp.rgdispidNamedArgs = &put;
    dp.cNamedArgs = 1;
  } else if (!named.empty()) {
    // Named arguments come first in rgvarg, in the order of their ids.
    dp.rgdispidNamedArgs = named.data();
    dp.cNamedArgs = static_cast<UINT>(named.size());
  }
  c.hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, &c.result, &c.excep, &c.argErr);
}

VARIANT Long(LONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}
VARIANT Bool(bool v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BOOL;
  x.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
  return x;
}
// A string by value; the caller frees it with the call's arguments.
VARIANT Text(const wchar_t* s) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BSTR;
  x.bstrVal = SysAllocString(s);
  return x;
}
template <typename T>
VARIANT Ref(VARTYPE vt, T* p) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BYREF | vt;
  x.byref = p;
  return x;
}

LONG Get(IDispatch* d, const wchar_t* name) {
  Call c;
  Invoke(c, d, name, DISPATCH_PROPERTYGET, {});
  VARIANT v;
  VariantInit(&v);
  if (FAILED(c.hr) || FAILED(VariantChangeType(&v, &c.result, 0, VT_I4))) return -99999;
  return v.lVal;
}

// An event sink as script hosts make them: IDispatch, answering to the event interface.
class Sink final : public IDispatch {
 public:
  Sink(IID events, std::function<void(DISPID, DISPPARAMS*)> on) : events_(events), on_(on) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, events_)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (!left) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* dp, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    on_(id, dp);
    return S_OK;
  }

 private:
  ULONG refs_ = 1;
  IID events_;
  std::function<void(DISPID, DISPPARAMS*)> on_;
};

struct Connection {
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  void Close() {
    if (point) {
      point->Unadvise(cookie);
      point->Release();
    }
    point = nullptr;
  }
};

// Advises a sink on the object's default source interface, found as a late-binding host finds
// it: IProvideClassInfo2 names it.
Connection Advise(IDispatch* d, std::function<void(DISPID, DISPPARAMS*)> on, IID* eventsOut) {
  Connection c;
  IProvideClassInfo2* info = nullptr;
  IID events = GUID_NULL;
  if (SUCCEEDED(d->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info)))) {
    info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events);
    info->Release();
  }
  if (eventsOut) *eventsOut = events;
  IConnectionPointContainer* container = nullptr;
  if (FAILED(
          d->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) {
    return c;
  }
  if (SUCCEEDED(container->FindConnectionPoint(events, &c.point))) {
    Sink* sink = new Sink(events, std::move(on));
    if (FAILED(c.point->Advise(sink, &c.cookie))) {
      c.point->Release();
      c.point = nullptr;
    }
    sink->Release();
  }
  container->Release();
  return c;
}

// Event names from the type information, as a host shows them.
std::map<DISPID, std::string> EventNames(IDispatch* d) {
  std::map<DISPID, std::string> names;
  IProvideClassInfo* info = nullptr;
  if (FAILED(d->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&info)))) {
    return names;
  }
  ITypeInfo* cls = nullptr;
  if (SUCCEEDED(info->GetClassInfo(&cls))) {
    TYPEATTR* attr = nullptr;
    cls->GetTypeAttr(&attr);
    for (UINT i = 0; i < attr->cImplTypes; ++i) {
      INT flags = 0;
      cls->GetImplTypeFlags(i, &flags);
      if (!(flags & IMPLTYPEFLAG_FSOURCE)) continue;
      HREFTYPE ref = 0;
      ITypeInfo* events = nullptr;
      cls->GetRefTypeOfImplType(i, &ref);
      if (FAILED(cls->GetRefTypeInfo(ref, &events))) continue;
      TYPEATTR* ea = nullptr;
      events->GetTypeAttr(&ea);
      for (UINT f = 0; f < ea->cFuncs; ++f) {
        FUNCDESC* fd = nullptr;
        events->GetFuncDesc(f, &fd);
        BSTR name = nullptr;
        UINT count = 0;
        events->GetNames(fd->memid, &name, 1, &count);
        names[fd->memid] = Narrow(name);
        SysFreeString(name);
        events->ReleaseFuncDesc(fd);
      }
      events->ReleaseTypeAttr(ea);
      events->Release();
    }
    cls->ReleaseTypeAttr(attr);
    cls->Release();
  }
  info->Release();
  return names;
}

LONG ArgLong(DISPPARAMS* dp, UINT fromLast) {
  VARIANT& v = dp->rgvarg[dp->cArgs - 1 - fromLast];
  if (v.vt == (VT_BYREF | VT_I4)) return *v.plVal;
  if (v.vt == (VT_BYREF | VT_BOOL)) return *v.pboolVal;
  return -12345;
}

IDispatch* CreateByProgId(const wchar_t* progId, HRESULT* hr) {
  CLSID clsid;
  *hr = CLSIDFromProgID(progId, &clsid);
  if (FAILED(*hr)) return nullptr;
  IDispatch* d = nullptr;
  *hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                         reinterpret_cast<void**>(&d));
  return d;
}

int Unregistered() {
  CLSID clsid;
  CHECK(FAILED(CLSIDFromProgID(L"vtldllxt.clsPrnPort", &clsid)));
  CHECK(FAILED(CLSIDFromProgID(L"vtldllxt.clsSerial", &clsid)));
  std::printf("ProgIDs gone after unregistering\n");
  return g_failures ? 1 : 0;
}

// Properties and their defaults, names in any letter case.
void Defaults(IDispatch* port) {
  CHECK(Get(port, L"baudios") == 9600);
  CHECK(Get(port, L"ASINCRONO") == -1);
  CHECK(Get(port, L"AlwaysOnLine") == 0);
  CHECK(Get(port, L"Rafaga") == 0);
  CHECK(Get(port, L"outputid") == 0);
  CHECK(Get(port, L"OutBufferCount") == 0);
  CHECK(Get(port, L"Busy") == 0);
  CHECK(Get(port, L"LastStatusBIT") == 0);
  CHECK(Get(port, L"ControlDeFlujo") == -1);
  CHECK(Get(port, L"ControlCajonAbierto") == 0);
  Call put;
  Invoke(put, port, L"DocName", DISPATCH_PROPERTYPUT, {Text(L"Ticket")});
  CHECK(put.hr == S_OK);
  Call get;
  Invoke(get, port, L"DocName", DISPATCH_PROPERTYGET, {});
  CHECK(get.result.vt == VT_BSTR && std::wstring(get.result.bstrVal) == L"Ticket");
  std::printf(
      "defaults: Baudios, Asincrono, AlwaysOnLine, Rafaga, OutputID, OutBufferCount, Busy, "
      "LastStatusBIT, ControlDeFlujo, ControlCajonAbierto; DocName let/get\n");
}

// Calls that are wrong get the automation error a host maps to its own message, never a crash.
void BadCalls(IDispatch* port) {
  DISPID id = 0;
  LPOLESTR name = const_cast<LPOLESTR>(L"NoSuchMember");
  CHECK(port->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id) == DISP_E_UNKNOWNNAME);
  CHECK(id == DISPID_UNKNOWN);
  DISPPARAMS none{};
  VARIANT r;
  VariantInit(&r);
  CHECK(port->Invoke(0x7FFF0000, IID_NULL, 0, DISPATCH_METHOD, &none, &r, nullptr, nullptr) ==
        DISP_E_MEMBERNOTFOUND);
  {
    Call c;  // Imprimir without its text
    Invoke(c, port, L"Imprimir", DISPATCH_METHOD, {});
    CHECK(c.hr == DISP_E_PARAMNOTOPTIONAL);
  }
  {
    Call c;  // one argument too many
    Invoke(c, port, L"Imprimir", DISPATCH_METHOD, {Text(L"x"), Bool(false), Long(1)});
    CHECK(c.hr == DISP_E_BADPARAMCOUNT);
  }
  {
    Call c;  // a text where a Boolean goes: the second argument, first in rgvarg
    Invoke(c, port, L"Imprimir", DISPATCH_METHOD, {Text(L"x"), Text(L"no es booleano")});
    CHECK(c.hr == DISP_E_TYPEMISMATCH);
    CHECK(c.argErr == 0);
  }
  {
    Call c;  // a number too large for a Long
    VARIANT big;
    VariantInit(&big);
    big.vt = VT_R8;
    big.dblVal = 1e12;
    Invoke(c, port, L"CutPaper", DISPATCH_METHOD, {big});
    CHECK(c.hr == DISP_E_OVERFLOW);
  }
  {
    Call c;  // a property that cannot be assigned
    Invoke(c, port, L"OutputID", DISPATCH_PROPERTYPUT, {Long(5)});
    CHECK(c.hr == DISP_E_MEMBERNOTFOUND);
  }
  {
    // An error raised inside the member: number, text and source in EXCEPINFO, and the error
    // object for hosts that ask ISupportErrorInfo.
    Call c;
    Invoke(c, port, L"InicializarSerie", DISPATCH_METHOD, {Long(-2147483647 - 1)});
    CHECK(c.hr == DISP_E_EXCEPTION);
    CHECK(c.excep.scode == static_cast<SCODE>(0x800A0006));
    CHECK(c.excep.bstrDescription && std::wstring(c.excep.bstrDescription) == L"Overflow");
    CHECK(c.excep.bstrSource &&
          std::wstring(c.excep.bstrSource).find(L"clsPrnPort") != std::wstring::npos);
    ISupportErrorInfo* support = nullptr;
    CHECK(
        SUCCEEDED(port->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))));
    if (support) {
      IProvideClassInfo2* info = nullptr;
      port->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info));
      ITypeInfo* ti = nullptr;
      port->GetTypeInfo(0, 0, &ti);
      TYPEATTR* attr = nullptr;
      if (ti) ti->GetTypeAttr(&attr);
      CHECK(attr && support->InterfaceSupportsErrorInfo(attr->guid) == S_OK);
      if (attr) ti->ReleaseTypeAttr(attr);
      if (ti) ti->Release();
      if (info) info->Release();
      support->Release();
      IErrorInfo* error = nullptr;
      CHECK(GetErrorInfo(0, &error) == S_OK && error);
      if (error) {
        BSTR d = nullptr;
        error->GetDescription(&d);
        CHECK(d && std::wstring(d) == L"Overflow");
        SysFreeString(d);
        error->Release();
      }
    }
  }
  std::printf(
      "bad calls: unknown name, unknown DISPID, missing and extra arguments, type mismatch "
      "(argument index), overflow, read-only property, error raised by a member with "
      "EXCEPINFO and IErrorInfo\n");
}

// Arguments by reference come back into the caller's own variables, whatever their type.
void ByRef(IDispatch* port) {
  VARIANT_BOOL busy = 1, error = 1, paper = 1;
  {
    Call c;
    Invoke(c, port, L"CheckError", DISPATCH_METHOD,
           {Ref(VT_BOOL, &busy), Ref(VT_BOOL, &error), Ref(VT_BOOL, &paper)});
    CHECK(c.hr == S_OK);
    // No port is open: the printer is not ready.
    CHECK(busy == VARIANT_TRUE || busy == VARIANT_FALSE);
    CHECK(paper == VARIANT_FALSE);
  }
  {
    // As VBScript passes its variables: Variants by reference.
    VARIANT b, e, p;
    VariantInit(&b);
    VariantInit(&e);
    VariantInit(&p);
    Call c;
    Invoke(c, port, L"CheckError", DISPATCH_METHOD,
           {Ref(VT_VARIANT, &b), Ref(VT_VARIANT, &e), Ref(VT_VARIANT, &p)});
    CHECK(c.hr == S_OK);
    CHECK(b.vt == VT_BOOL && e.vt == VT_BOOL && p.vt == VT_BOOL);
  }
  {
    // A Long passed in a variable of another type is converted there and back.
    SHORT index = 0;
    Call c;
    Invoke(c, port, L"PortData", DISPATCH_PROPERTYGET, {Ref(VT_I2, &index)});
    CHECK(c.hr == S_OK && c.result.vt == VT_DISPATCH && c.result.pdispVal);
    if (c.result.vt == VT_DISPATCH && c.result.pdispVal) {
      IDispatch* record = c.result.pdispVal;
      CHECK(Get(record, L"Address") == 0);  // no port answers in user mode
      Call put;
      Invoke(put, record, L"Name", DISPATCH_PROPERTYPUT, {Text(L"LPT1")});
      CHECK(put.hr == S_OK);
      IProvideClassInfo* info = nullptr;
      CHECK(SUCCEEDED(
          record->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&info))));
      if (info) {
        ITypeInfo* cls = nullptr;
        CHECK(SUCCEEDED(info->GetClassInfo(&cls)));
        if (cls) {
          BSTR name = nullptr;
          cls->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
          CHECK(Narrow(name) == "clsPrnPortData");
          SysFreeString(name);
          cls->Release();
        }
        info->Release();
      }
    }
  }
  {
    // Arrays by reference: the caller's arrays come back holding the machine's ports, the
    // serial one the test runner mapped (VTL_COM7) among them.
    SAFEARRAY* serial = SafeArrayCreateVector(VT_I4, 1, 2);
    SAFEARRAY* parallel = SafeArrayCreateVector(VT_I4, 1, 1);
    Call c;
    Invoke(c, port, L"ListaDePuertosExistentes", DISPATCH_METHOD,
           {Ref(VT_ARRAY | VT_I4, &serial), Ref(VT_ARRAY | VT_I4, &parallel)});
    CHECK(c.hr == S_OK);
    std::string listed;
    bool seven = false;
    LONG low = 0, high = -1;
    if (serial && SafeArrayGetLBound(serial, 1, &low) == S_OK &&
        SafeArrayGetUBound(serial, 1, &high) == S_OK) {
      for (LONG i = low; i <= high; ++i) {
        LONG n = 0;
        SafeArrayGetElement(serial, &i, &n);
        listed += (listed.empty() ? "" : ",") + std::to_string(n);
        seven = seven || n == 7;
      }
    }
    if (std::getenv("VTL_COM7")) CHECK(seven);
    std::printf("ListaDePuertosExistentes: serial ports [%s]\n", listed.c_str());
    SafeArrayDestroy(serial);
    SafeArrayDestroy(parallel);
  }
  {
    // A named argument (tmpComandoPuro), before the positional one.
    BSTR text = SysAllocString(L"");
    Call c;
    Invoke(c, port, L"Imprimir", DISPATCH_METHOD, {Bool(true), Ref(VT_BSTR, &text)}, {1});
    CHECK(c.hr == S_OK && c.result.vt == VT_I4);
    SysFreeString(text);
  }
  std::printf(
      "ByRef: CheckError into Boolean and Variant variables, PortData with an Integer "
      "index and the record's members, ListaDePuertosExistentes arrays, a named argument\n");
}

// A host that drops its last reference to the object from inside one of its events, raised
// while the host's own message loop runs the object's work.
void ReleaseInsideEvent(const std::wstring& host, LONG tcpPort) {
  HRESULT hr = S_OK;
  IDispatch* port = CreateByProgId(L"vtldllxt.clsPrnPort", &hr);
  CHECK(port != nullptr);
  if (!port) return;
  bool released = false;
  Connection connection;
  connection = Advise(
      port,
      [&](DISPID id, DISPPARAMS*) {
        if (id != 2 || released) return;  // NuevoEstado
        released = true;
        // As a form does when it lets go of the object: unadvise, then the last reference.
        connection.Close();
        port->Release();
        port = nullptr;
      },
      nullptr);
  CHECK(connection.point != nullptr);
  BSTR address = SysAllocString(host.c_str());
  Call open;
  Invoke(open, port, L"InicializarRed", DISPATCH_METHOD, {Ref(VT_BSTR, &address), Long(tcpPort)});
  CHECK(open.hr == S_OK);
  CHECK(Pump([&] { return released; }, 20000));
  // Whatever the object had scheduled must not reach it now.
  Pump([] { return false; }, 1500);
  CHECK(port == nullptr);
  SysFreeString(address);
  std::printf("an object released by its host inside its own event (NuevoEstado)\n");
}

void Serial() {
  HRESULT hr = S_OK;
  IDispatch* serial = CreateByProgId(L"vtldllxt.clsSerial", &hr);
  CHECK(serial != nullptr);
  if (!serial) return;
  CHECK(Get(serial, L"PortID") == 0);
  BSTR name = SysAllocString(L"COM250");
  Call open;
  Invoke(open, serial, L"CommOpen", DISPATCH_METHOD, {Ref(VT_BSTR, &name)});
  CHECK(open.hr == S_OK && open.result.vt == VT_I4 && open.result.lVal == 0);
  BSTR message = SysAllocString(L"");
  Call error;
  Invoke(error, serial, L"CommGetError", DISPATCH_METHOD, {Ref(VT_BSTR, &message)});
  CHECK(error.hr == S_OK && error.result.vt == VT_I4 && error.result.lVal != 0);
  CHECK(std::wstring(message).find(L"CommOpen (CreateFile)") != std::wstring::npos);
  std::printf("clsSerial: CommOpen of a port that is not there, CommGetError: %s\n",
              Narrow(message).c_str());
  SysFreeString(name);
  SysFreeString(message);
  serial->Release();
}

int PrintReceipt(const std::wstring& host, LONG tcpPort) {
  HRESULT hr = S_OK;
  IDispatch* port = CreateByProgId(L"vtldllxt.clsPrnPort", &hr);
  CHECK(port != nullptr);
  if (!port) {
    std::printf("cannot create vtldllxt.clsPrnPort: 0x%08lx\n", static_cast<unsigned long>(hr));
    return 1;
  }
  const auto names = EventNames(port);
  CHECK(names.count(1) && names.at(1) == "DatosImpresos");
  CHECK(names.count(2) && names.at(2) == "NuevoEstado");

  Defaults(port);

  // Two sinks, connected in this order: the first adds 1000 to the job number it is given; the
  // second sees what the first left, as an event argument is the raising procedure's own value.
  std::vector<std::string> log;
  LONG printed = -1, seenBySecond = -1;
  bool ready = false;
  Connection first = Advise(
      port,
      [&](DISPID id, DISPPARAMS* dp) {
        std::string line = names.count(id) ? names.at(id) : "event " + std::to_string(id);
        line += "(";
        for (UINT i = 0; i < dp->cArgs; ++i)
          line += (i ? "," : "") + std::to_string(ArgLong(dp, i));
        log.push_back(line + ")");
        if (id == 2 && ArgLong(dp, 0) == 0 && ArgLong(dp, 1) == 0) ready = true;
        if (id == 1 && dp->rgvarg[0].vt == (VT_BYREF | VT_I4)) {
          printed = *dp->rgvarg[0].plVal;
          *dp->rgvarg[0].plVal += 1000;
        }
      },
      nullptr);
  Connection second = Advise(
      port,
      [&](DISPID id, DISPPARAMS* dp) {
        if (id == 1 && dp->rgvarg[0].vt == (VT_BYREF | VT_I4)) seenBySecond = *dp->rgvarg[0].plVal;
      },
      nullptr);
  CHECK(first.point && second.point);

  BadCalls(port);
  ByRef(port);

  BSTR address = SysAllocString(host.c_str());
  Call open;
  Invoke(open, port, L"InicializarRed", DISPATCH_METHOD, {Ref(VT_BSTR, &address), Long(tcpPort)});
  CHECK(open.hr == S_OK);
  CHECK(Pump([&] { return ready; }, 20000));
  std::printf("InicializarRed %s:%ld, NuevoEstado(False,False) seen\n",
              Narrow(host.c_str()).c_str(), tcpPort);

  BSTR receipt = SysAllocString(
      L"      CAF\u00C9 DEL PUERTO\r\n"
      L"Fecha 01/02/2024   Caja 3\r\n"
      L"2 x Caf\u00E9 con leche     3,00\r\n"
      L"1 x Tostada            1,80\r\n"
      L"TOTAL (\u20AC)             4,80\r\n"
      L"Gracias por su visita\r\n\r\n\r\n");
  Call print;
  Invoke(print, port, L"Imprimir", DISPATCH_METHOD, {Ref(VT_BSTR, &receipt)});
  CHECK(print.hr == S_OK && print.result.vt == VT_I4);
  const LONG job = print.result.vt == VT_I4 ? print.result.lVal : -1;
  long cutPercent = 100;
  Call cut;
  Invoke(cut, port, L"CutPaper", DISPATCH_METHOD, {Ref(VT_I4, &cutPercent)});
  CHECK(cut.hr == S_OK);
  const LONG last = Get(port, L"OutputID");
  CHECK(Pump([&] { return printed >= last; }, 30000));
  CHECK(printed == last);
  CHECK(seenBySecond == last + 1000);
  CHECK(Get(port, L"OutBufferCount") == 0);
  std::printf("Imprimir job %ld and CutPaper: DatosImpresos(%ld) seen; the second sink saw %ld\n",
              job, printed, seenBySecond);

  Call close;
  Invoke(close, port, L"CloseAll", DISPATCH_METHOD, {});
  CHECK(close.hr == S_OK);
  for (const auto& line : log) std::printf("  event %s\n", line.c_str());
  first.Close();
  second.Close();
  SysFreeString(address);
  SysFreeString(receipt);
  CHECK(port->Release() == 0);

  ReleaseInsideEvent(host, tcpPort);
  Serial();
  return g_failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  int rc = 2;
  const std::string arg = argc > 1 ? argv[1] : "";
  if (arg == "--unregistered") {
    rc = Unregistered();
  } else {
    const auto colon = arg.rfind(':');
    if (colon == std::string::npos) {
      std::printf("usage: vtl_com_host HOST:PORT | --unregistered\n");
    } else {
      const std::wstring host(arg.begin(), arg.begin() + static_cast<std::ptrdiff_t>(colon));
      rc = PrintReceipt(host, std::atol(arg.c_str() + colon + 1));
    }
  }
  CoUninitialize();
  std::printf("%s (%d failed)\n", rc == 0 ? "OK" : "FAILED", g_failures);
  return rc;
}
