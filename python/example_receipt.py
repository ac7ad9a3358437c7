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

# Until a real printer port is opened, a simulated device stands behind the port.
vtldllxt.testing.sim_register("example")
vtldllxt.testing.attach(port, "sim:example")

port.Imprimir(ESC + "@" + ESC + "a\x01" + ESC + "!\x30" + "CAF\u00c9 LA ESQUINA\n" + ESC + "!\x00")
port.Imprimir("2 x Caf\u00e9 con leche        3,20 \u20ac\n")
job = port.Imprimir(ESC + "E\x01" + "TOTAL                     3,20 \u20ac\n" + ESC + "E\x00")
port.Imprimir(GS + "V\x42\x00", True)  # feed and cut, sent as it stands

if vtldllxt.run_until(lambda: done and done[-1] >= job, timeout=10):
    print("printed up to job", done[-1])
    print(vtldllxt.testing.sim_written("example"))
else:
    print("the printer did not finish")
