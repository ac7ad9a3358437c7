"""A point-of-sale script: print a receipt and wait until the printer has it.

    python3 python/example_receipt.py            # onto a simulated device, shows the bytes
"""

import vtldllxt

ESC, GS = "\x1b", "\x1d"

port = vtldllxt.clsPrnPort()
done = []
port.connect("NuevoEstado", lambda error, sin_papel: print(
    "NuevoEstado: error=%s, sin papel=%s" % (error, sin_papel)))
port.connect("DatosImpresos", lambda contador: done.append(contador.value))

# Until a real printer is at hand, a printer inside this process stands in for it, under a COM
# name of its own (a device path, "/dev/ttyUSB0", is opened the same way).
printer = vtldllxt.SimulatedPrinter("example")
port.InicializarSerie(int(vtldllxt.map_free_port("COM", printer.device)[3:]))

port.Imprimir(ESC + "@" + ESC + "a\x01" + ESC + "!\x30" + "CAF\u00c9 LA ESQUINA\n" + ESC + "!\x00")
port.Imprimir("2 x Caf\u00e9 con leche        3,20 \u20ac\n")
job = port.Imprimir(ESC + "E\x01" + "TOTAL                     3,20 \u20ac\n" + ESC + "E\x00")
port.Imprimir(GS + "V\x42\x00", True)  # feed and cut, sent as it stands

if vtldllxt.run_until(lambda: done and done[-1] >= job, timeout=10):
    print("printed up to job", done[-1])
    print(printer.received())
else:
    print("the printer did not finish")
