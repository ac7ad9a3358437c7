"""A point-of-sale script: print a receipt and wait until the printer has it.

    python3 example_receipt.py                  # onto a printer inside this process; shows the bytes
    python3 example_receipt.py 192.168.1.50     # a network printer (TCP port 9100)
    python3 example_receipt.py 127.0.0.1:9100   # the virtual printer: printer-sim --port 9100
"""

import sys

import vtldllxt

ESC, GS = "\x1b", "\x1d"

port = vtldllxt.clsPrnPort()
done = []
port.connect("NuevoEstado", lambda error, sin_papel: print(
    "NuevoEstado: error=%s, sin papel=%s" % (error, sin_papel)))
port.connect("DatosImpresos", lambda contador: done.append(contador.value))

printer = None
if len(sys.argv) > 1:
    host, _, tcp_port = sys.argv[1].partition(":")
    port.InicializarRed(host, int(tcp_port or 9100))
else:
    # Until a real printer is at hand, a printer inside this process stands in for it, under a
    # COM name of its own (a device path, "/dev/ttyUSB0", is opened the same way).
    printer = vtldllxt.SimulatedPrinter("example")
    port.InicializarSerie(int(vtldllxt.map_free_port("COM", printer.device)[3:]))

# Text goes to the printer in Windows-1252: ESC t 16 selects the printer's table for it, or
# "É" and "€" print as whatever its power-on table has there.
port.Imprimir(ESC + "@" + ESC + "t\x10", True)
port.Imprimir(ESC + "a\x01" + ESC + "!\x30" + "CAF\u00c9 LA ESQUINA\n" + ESC + "!\x00")
port.Imprimir("vtldllxt %s from Python\n" % vtldllxt.__version__)
port.Imprimir(ESC + "a\x00" + "2 x Caf\u00e9 con leche        3,20 \u20ac\n")
port.Imprimir(ESC + "E\x01" + "TOTAL                     3,20 \u20ac\n" + ESC + "E\x00")
job = port.Imprimir(GS + "V\x42\x00", True)  # feed and cut, sent as it stands

if vtldllxt.run_until(lambda: done and done[-1] >= job, timeout=30):
    print("printed job", done[-1])
    if printer:
        print(printer.received())
else:
    print("the printer did not finish")
    sys.exit(1)
