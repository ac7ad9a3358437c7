' A till's receipt from a script: cscript receipt.vbs COMNUMBER
' The serial port is the virtual printer's. A script cannot pump messages, so the printer is
' taken as always on line and EndDocForzar moves the sending on.
Option Explicit

Dim failures
failures = 0

Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok   " & what
  Else
    WScript.Echo "FAIL " & what
    failures = failures + 1
  End If
End Sub

Dim comPort
comPort = CLng(WScript.Arguments(0))

Dim prn
Set prn = CreateObject("vtldllxt.clsPrnPort")

' What a new object says before any port is open.
Check prn.Baudios = 9600, "Baudios is 9600"
Check prn.Asincrono = True, "Asincrono is True"
Check prn.AlwaysOnLine = False, "AlwaysOnLine is False"
Check prn.OutBufferCount = 0, "OutBufferCount is 0"
Check prn.OutputID = 0, "OutputID is 0"
Check prn.ControlDeFlujo = -1, "ControlDeFlujo is -1"
prn.DocName = "Ticket de caja"
Check prn.DocName = "Ticket de caja", "DocName keeps what it was given"
prn.Rafaga = True
Check prn.rafaga = True, "Rafaga (names in any case)"
prn.Rafaga = False

' Errors, as a till program reads them.
On Error Resume Next
Err.Clear
prn.InicializarSerie -2147483648
Check Err.Number = 6, "InicializarSerie with no port before the first: Err.Number " & Err.Number
Check Err.Description = "Overflow", "Err.Description """ & Err.Description & """"
Check InStr(Err.Source, "clsPrnPort") > 0, "Err.Source """ & Err.Source & """"
Err.Clear
prn.Imprimir
Check Err.Number <> 0, "Imprimir without its text fails: Err.Number " & Err.Number
Err.Clear
prn.NoHayTalMetodo
Check Err.Number = 438, "an unknown member: Err.Number " & Err.Number
Err.Clear
prn.CutPaper "mucho"
Check Err.Number = 13, "CutPaper with a text: Err.Number " & Err.Number
Err.Clear
On Error GoTo 0

' Arguments by reference: CheckError fills the caller's own variables (with no port open the
' printer is in error and has paper).
Dim busy, failed, noPaper
busy = Empty
failed = Empty
noPaper = Empty
prn.CheckError busy, failed, noPaper
Check TypeName(busy) = "Boolean" And TypeName(failed) = "Boolean" And _
      TypeName(noPaper) = "Boolean", "CheckError wrote Booleans back into the script's variables"
Check failed = True And noPaper = False, "CheckError: Error " & failed & ", SinPapel " & noPaper

' A record of the machine's parallel ports (none answers in user mode).
Dim data, index
index = 1
Set data = prn.PortData(index)
'  (Wine's engine names the object by its interface, _clsPrnPortData.)
Check InStr(TypeName(data), "clsPrnPortData") > 0, "PortData gives a clsPrnPortData: " & _
      TypeName(data)
data.Name = "LPT1"
Check data.Name = "LPT1", "clsPrnPortData.Name"

' The receipt, on the serial port, optional arguments left out.
prn.AlwaysOnLine = True
prn.InicializarSerie comPort
Check prn.Baudios = 9600, "the line runs at the default 9600 baud"

Dim receipt, job, percent
receipt = "      CAFE DEL PUERTO" & vbCrLf & _
          "Caja 3   Ticket 0042" & vbCrLf & _
          "2 x Cafe con leche      3,00" & vbCrLf & _
          "1 x Tostada             1,80" & vbCrLf & _
          "TOTAL                   4,80" & vbCrLf & _
          "Gracias por su compra" & vbCrLf & vbCrLf & vbCrLf
job = prn.Imprimir(receipt)
Check job > 0, "Imprimir gives job " & job
percent = 100
prn.CutPaper percent
Check prn.OutputID >= job, "OutputID " & prn.OutputID

' No message pump: a tick by hand passes the text to the output buffer, and more ticks send it
' (bounded by the clock, in case the line never takes it).
Dim started
prn.EndDocForzar
Check prn.OutBufferCount > 0, "the first tick moved the text to the output buffer"
started = Timer
Do While prn.OutBufferCount > 0 And Abs(Timer - started) < 30
  prn.EndDocForzar
Loop
Check prn.OutBufferCount = 0, "everything left the queue"
prn.CloseAll
Set prn = Nothing

' clsSerial: a port nobody has answers with the system's message.
Dim serial, portName, message
Set serial = CreateObject("vtldllxt.clsSerial")
portName = "COM250"
On Error Resume Next
serial.CommOpen portName
On Error GoTo 0
message = ""
serial.CommGetError message
Check InStr(message, "(2)") > 0, "CommGetError gave the system's message: " & Trim(message)
Set serial = Nothing

' Events need a message pump, which a script does not run; Wine's script host also refuses
' WScript.ConnectObject. The C++ host shows the events.
Set prn = CreateObject("vtldllxt.clsPrnPort")
On Error Resume Next
WScript.ConnectObject prn, "prn_"
WScript.Echo "info WScript.ConnectObject: Err.Number " & Err.Number
Err.Clear
On Error GoTo 0
Set prn = Nothing

If failures > 0 Then
  WScript.Echo failures & " failed"
  WScript.Quit 1
End If
WScript.Echo "receipt.vbs: all passed"
WScript.Quit 0
