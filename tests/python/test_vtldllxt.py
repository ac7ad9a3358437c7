"""The Python module driving a printer port end to end, through the C interface."""

import contextlib
import io
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
import vtldllxt  # noqa: E402
import vtl_testing as testing  # noqa: E402


class PrinterPortFromPython(unittest.TestCase):
    def setUp(self):
        self.device = "python-%d" % id(self)
        testing.sim_register(self.device)
        self.port = vtldllxt.clsPrnPort()
        testing.attach(self.port, "sim:" + self.device)
        self.events = []
        self.port.connect("DatosImpresos", lambda c: self.events.append(("DatosImpresos", c.value)))
        self.port.connect("NuevoEstado",
                          lambda e, p: self.events.append(("NuevoEstado", e.value, p.value)))

    def tearDown(self):
        self.port.close()
        testing.sim_unregister(self.device)

    def wait_for_job(self, job):
        self.assertTrue(vtldllxt.run_until(lambda: ("DatosImpresos", job) in self.events, 30))

    def test_a_receipt_reaches_the_device_and_its_end_is_reported(self):
        self.assertEqual(self.port.Imprimir("Caf\u00e9 con leche  1,60 \u20ac\r"), 1)
        job = self.port.Imprimir(b"\x1dVB\x00", True)
        self.assertEqual(job, 2)
        self.assertEqual(self.port.OutputID, 2)
        self.port.Imprimir("\x1b!\x00small\n")  # NUL inside text is a character like any other
        self.wait_for_job(3)
        self.assertEqual(testing.sim_written(self.device),
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
        self.assertEqual(testing.sim_written(self.device), b"first\r\nsecond\r\n")

    def test_dispids_keep_members_and_events_apart(self):
        table = vtldllxt.dispids("clsPrnPort")
        self.assertEqual(table["Imprimir"], 0x60030014)
        self.assertNotIn("DatosImpresos", table)
        # Both a member and an event: each map answers for its own.
        self.assertEqual(table["LoopPruebas"], 0x6003004D)
        self.assertEqual(table["Uploading"], 0x680300EE)
        events = vtldllxt.event_dispids("clsPrnPort")
        self.assertEqual(events, {"DatosImpresos": 1, "NuevoEstado": 2, "NuevasPropiedades": 3,
                                  "LoopPruebas": 4, "LogoGrabado": 5, "Uploading": 6,
                                  "DatosSerial": 7, "EstadoCajon": 8, "EstadoOnLlineOffLine": 9})
        self.assertEqual(vtldllxt.dispids("clsSerial")["CommOpen"], 0x60030002)
        self.assertEqual(vtldllxt.event_dispids("clsSerial"), {"DataIn": 1, "DataOut": 2})
        # The event map is the one connect() uses: the LoopPruebas method raises its event.
        raised = []
        self.port.connect("LoopPruebas", lambda: raised.append(True))
        self.port.LoopPruebas()
        self.assertEqual(raised, [True])

    def test_write_only_and_missing_members_are_attribute_errors(self):
        self.port.LineasPorSegundo = 5
        with self.assertRaises(AttributeError):
            self.port.LineasPorSegundo
        self.assertFalse(hasattr(self.port, "LineasPorSegundo"))
        with self.assertRaises(AttributeError):
            self.port.NoSuchMember
        self.assertEqual(getattr(self.port, "NoSuchMember", "default"), "default")
        with self.assertRaises(AttributeError):
            self.port.NoSuchMember = 1


class AutomationConversions(unittest.TestCase):
    """Numbers, Booleans and ByRef arguments convert as an automation host converts them."""

    def setUp(self):
        self.device = "python-conv-%d" % id(self)
        testing.sim_register(self.device)
        self.port = vtldllxt.clsPrnPort()
        testing.attach(self.port, "sim:" + self.device)

    def tearDown(self):
        self.port.close()
        testing.sim_unregister(self.device)

    def assertOverflow(self, action):
        with self.assertRaises(vtldllxt.VtlError) as ctx:
            action()
        self.assertEqual(ctx.exception.number, 6, str(ctx.exception))
        self.assertEqual(ctx.exception.hresult, 0x8002000A)

    def test_numbers_that_do_not_fit_are_error_6(self):
        self.port.PortPropiedadesAdicionales = 5

        def put(value):
            return lambda: setattr(self.port, "PortPropiedadesAdicionales", value)

        for value in (2**31, -2**31 - 1, 2**63, 10**400, 3e9, float("nan"), float("inf"),
                      "2147483648", "2147483647.5", "1E10"):
            self.assertOverflow(put(value))
        self.assertEqual(self.port.PortPropiedadesAdicionales, 5)
        self.port.PortPropiedadesAdicionales = -2**31
        self.assertEqual(self.port.PortPropiedadesAdicionales, -2**31)

        record = self.port.PortData(0)
        record.Address = 0x278
        for value in (32768, -32769, 40000, 2**40, 32767.5, "-32769"):
            self.assertOverflow(lambda: setattr(record, "Address", value))
        self.assertEqual(record.Address, 0x278)
        # An array of Longs is checked element by element.
        ports = vtldllxt.Ref([1, 2**31])
        self.assertOverflow(lambda: self.port.ListaDePuertosExistentes(ports, vtldllxt.Ref([])))
        self.assertEqual(ports.value, [1, 2**31])
        # A ByRef Integer that overflows leaves the host's variable alone.
        line = vtldllxt.Ref(70002)
        self.assertOverflow(lambda: self.port.CommSetLine(line, False))
        self.assertEqual(line.value, 70002)

    def test_fractions_round_half_to_even(self):
        record = self.port.PortData(0)
        for value, expected in (("2.5", 2), ("3.5", 4), ("-2.5", -2), ("0.5", 0), ("1.5", 2),
                                (2.5, 2), (3.5, 4), (-2.5, -2), (" 4.5 ", 4)):
            self.port.PortPropiedadesAdicionales = value
            self.assertEqual(self.port.PortPropiedadesAdicionales, expected, value)
            record.Address = value
            self.assertEqual(record.Address, expected, value)
        line = vtldllxt.Ref("3.5")
        self.port.CommSetLine(line, False)
        self.assertEqual(line.value, 4)

    def test_true_is_minus_one_as_a_number(self):
        self.port.PortPropiedadesAdicionales = True
        self.assertEqual(self.port.PortPropiedadesAdicionales, -1)
        self.port.ControlDeFlujo = True
        self.assertIs(type(self.port.ControlDeFlujo), int)
        self.assertEqual(self.port.ControlDeFlujo, -1)
        record = self.port.PortData(0)
        record.Address = True
        self.assertEqual(record.Address, -1)
        # A ByRef Long given True comes back as the number it became.
        percent = vtldllxt.Ref(True)
        self.port.CutPaper(percent)
        self.assertIs(type(percent.value), int)
        self.assertEqual(percent.value, -1)
        # Booleans come back as bool.
        self.port.AlwaysOnLine = -1
        self.assertIs(self.port.AlwaysOnLine, True)

    def test_event_arguments_are_booleans_and_numbers(self):
        got = []

        def on_state(error, paper):
            got.append((error.value, paper.value))
            error.value = 10**400  # cannot cross: the library keeps its value

        self.port.connect("NuevoEstado", on_state)
        self.port.connect("DatosImpresos", lambda c: got.append(c.value))
        self.port.Imprimir("job in progress\n")
        warnings = io.StringIO()
        with contextlib.redirect_stderr(warnings):
            self.port.ClearAll()
        self.assertIn("keeps its value: Overflow", warnings.getvalue())
        self.assertIn((True, False), got)
        self.assertIs(type(got[-2][0]), bool)
        self.assertEqual(got[-1], 1)

    def test_only_byref_parameters_give_values_back(self):
        # tmpComandoPuro is not ByRef: a Ref passed for it keeps its own value and type.
        puro = vtldllxt.Ref("0")
        datos = vtldllxt.Ref("Caf\u00e9 \u2192 1\n")
        self.port.Imprimir(datos, puro)
        self.assertEqual(puro.value, "0")
        # ByRef, but left as it was by the member: the host's text is not replaced by the "?"
        # the printer got for a character Windows-1252 has not.
        self.assertEqual(datos.value, "Caf\u00e9 \u2192 1\n")
        name = vtldllxt.Ref("Caja \u2192 1")
        self.port.DocName = name
        self.assertEqual(name.value, "Caja \u2192 1")
        self.assertEqual(self.port.DocName, "Caja ? 1")


class PortsByPathFromPython(unittest.TestCase):
    def test_a_missing_device_says_why_and_a_mapped_name_opens_its_device(self):
        port = vtldllxt.clsPrnPort()
        name = vtldllxt.map_free_port("COM", "/nonexistent-vtl/ttyPRINTER")
        try:
            self.assertEqual(vtldllxt.port_device(name), "/nonexistent-vtl/ttyPRINTER")
            port.InicializarSerie(int(name[3:]), 9600)
            self.assertEqual(port.opening_error(),
                             (2, "The system cannot find the file specified."))
            master, slave = os.openpty()
            vtldllxt.map_port(name, os.ttyname(slave))
            os.close(slave)
            self.assertTrue(vtldllxt.run_until(lambda: port.opening_error()[0] == 0, 20))
            self.assertEqual(port.opening_error(), (0, ""))
            port.close()
            os.close(master)
        finally:
            vtldllxt.map_port(name, None)
        self.assertIsNone(vtldllxt.port_device(name))  # no system ports while tests run


    def test_a_simulated_printer_takes_a_receipt_through_a_real_opening(self):
        printer = vtldllxt.SimulatedPrinter("python-sim-%d" % id(self))
        port = vtldllxt.clsPrnPort()
        name = vtldllxt.map_free_port("COM", printer.device)
        try:
            printed = []
            port.connect("DatosImpresos", lambda c: printed.append(c.value))
            port.InicializarSerie(int(name[3:]))
            job = port.Imprimir("Caf\u00e9 1,20 \u20ac\n")
            self.assertTrue(vtldllxt.run_until(lambda: job in printed, 20))
            self.assertTrue(printer.received().endswith(b"Caf\xe9 1,20 \x80\r\n"))
            self.assertGreater(len(printer.writes()), 1)  # the printer was greeted first
        finally:
            port.close()
            vtldllxt.map_port(name, None)
            printer.close()


class SerialLinesFromPython(unittest.TestCase):
    def test_a_line_that_is_up_comes_back_true(self):
        master, slave = os.openpty()
        path = os.ttyname(slave)
        os.close(slave)
        os.environ["VTL_COM7"] = path
        serial = vtldllxt.clsSerial()
        try:
            slot = serial.CommOpen("COM7")
            self.assertGreaterEqual(slot, 1)
            state = vtldllxt.Ref(False)
            self.assertEqual(serial.CommGetLine(slot, 0x10, state), 0)
            self.assertIs(state.value, True)
            self.assertEqual(serial.CommGetLine(slot, 0x40, state), 0)
            self.assertIs(state.value, False)
        finally:
            serial.close()
            del os.environ["VTL_COM7"]
            os.close(master)


if __name__ == "__main__":
    unittest.main()
