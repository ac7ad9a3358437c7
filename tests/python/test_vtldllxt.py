"""The Python module driving a printer port end to end, through the C interface."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
import vtldllxt  # noqa: E402


class PrinterPortFromPython(unittest.TestCase):
    def setUp(self):
        self.device = "python-%d" % id(self)
        vtldllxt.testing.sim_register(self.device)
        self.port = vtldllxt.clsPrnPort()
        vtldllxt.testing.attach(self.port, "sim:" + self.device)
        self.events = []
        self.port.connect("DatosImpresos", lambda c: self.events.append(("DatosImpresos", c.value)))
        self.port.connect("NuevoEstado",
                          lambda e, p: self.events.append(("NuevoEstado", e.value, p.value)))

    def tearDown(self):
        self.port.close()
        vtldllxt.testing.sim_unregister(self.device)

    def wait_for_job(self, job):
        self.assertTrue(vtldllxt.run_until(lambda: ("DatosImpresos", job) in self.events, 30))

    def test_a_receipt_reaches_the_device_and_its_end_is_reported(self):
        self.assertEqual(self.port.Imprimir("Caf\u00e9 con leche  1,60 \u20ac\r"), 1)
        job = self.port.Imprimir(b"\x1dVB\x00", True)
        self.assertEqual(job, 2)
        self.assertEqual(self.port.OutputID, 2)
        self.port.Imprimir("\x1b!\x00small\n")  # NUL inside text is a character like any other
        self.wait_for_job(3)
        self.assertEqual(vtldllxt.testing.sim_written(self.device),
                         b"Caf\xe9 con leche  1,60 \x80\r\n\x1dVB\x00\x1b!\x00small\r\n")
        self.assertEqual(self.events[0], ("NuevoEstado", False, False))

    def test_properties_read_and_write_by_name(self):
        self.assertEqual(self.port.Baudios, 9600)
        self.assertFalse(self.port.AlwaysOnLine)
        self.port.AlwaysOnLine = True
        self.assertTrue(self.port.alwaysonline)  # names are case-insensitive
        self.port.DocName = "Ticket 7"
        self.assertEqual(self.port.DocName, "Ticket 7")
        self.assertEqual(self.port.ControlDeFlujo, -1)
        with self.assertRaises(AttributeError):
            self.port.OutputID = 5

    def test_byref_arguments_come_back_in_refs(self):
        busy, error, paper = vtldllxt.Ref(True), vtldllxt.Ref(True), vtldllxt.Ref(True)
        self.port.CheckError(busy, error, paper)
        self.assertEqual((busy.value, error.value, paper.value), (False, False, False))

    def test_errors_are_exceptions_with_numbers(self):
        with self.assertRaises(vtldllxt.VtlError) as ctx:
            self.port.Imprimir()
        self.assertEqual(ctx.exception.number, 449)
        with self.assertRaises(vtldllxt.VtlError) as ctx:
            self.port.Imprimir("x", 1, 2)
        self.assertEqual(ctx.exception.number, 450)
        with self.assertRaises(vtldllxt.VtlError):
            self.port.AlwaysOnLine = "perhaps"

    def test_a_handler_may_print_again_from_inside_an_event(self):
        def again(contador):
            if contador.value == 1:
                self.port.Imprimir("second\n")
        self.port.connect("DatosImpresos", again)
        self.port.Imprimir("first\n")
        self.wait_for_job(2)
        self.assertEqual(vtldllxt.testing.sim_written(self.device), b"first\r\nsecond\r\n")

    def test_dispids_match_the_c_lookup(self):
        table = vtldllxt.dispids("clsPrnPort")
        self.assertEqual(table["Imprimir"], 0x60030014)
        self.assertEqual(table["DatosImpresos"], 1)
        self.assertEqual(vtldllxt.dispids("clsSerial")["CommOpen"], 0x60030002)


if __name__ == "__main__":
    unittest.main()
