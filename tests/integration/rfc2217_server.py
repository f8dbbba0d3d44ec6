#!/usr/bin/python3
# A second RFC 2217 server beside ser2net, built on pyserial's PortManager:
#   rfc2217_server.py SERIAL_DEVICE TCP_PORT
# Listens on 127.0.0.1 only, one client at a time, and reports modem-line
# changes within 50 ms. Ends when its parent test kills it. On a pty without
# the null-modem shim the modem-control calls fail: they are ignored, as
# ser2net ignores them, instead of ending the connection.
import socket
import sys
import threading
import time

import serial
import serial.rfc2217


class TolerantSerial(serial.Serial):
    def _update_dtr_state(self):
        try:
            super()._update_dtr_state()
        except OSError:
            pass

    def _update_rts_state(self):
        try:
            super()._update_rts_state()
        except OSError:
            pass

    def _update_break_state(self):
        try:
            super()._update_break_state()
        except OSError:
            pass

    def _modem_line(self, name):
        try:
            return getattr(serial.Serial, name).fget(self)
        except OSError:
            return False

    cts = property(lambda self: self._modem_line("cts"))
    dsr = property(lambda self: self._modem_line("dsr"))
    ri = property(lambda self: self._modem_line("ri"))
    cd = property(lambda self: self._modem_line("cd"))


def serve(ser, client):
    lock = threading.Lock()
    alive = [True]

    class Connection:
        def write(self, data):
            with lock:
                try:
                    client.sendall(data)
                except OSError:
                    alive[0] = False

    manager = serial.rfc2217.PortManager(ser, Connection())

    def reader():
        while alive[0]:
            try:
                data = ser.read(ser.in_waiting or 1)
                if data:
                    Connection().write(b"".join(manager.escape(data)))
            except (OSError, serial.SerialException):
                break
        alive[0] = False

    def poller():
        while alive[0]:
            time.sleep(0.05)
            try:
                manager.check_modem_lines()
            except (OSError, serial.SerialException):
                pass

    threads = [threading.Thread(target=reader, daemon=True),
               threading.Thread(target=poller, daemon=True)]
    for t in threads:
        t.start()
    while alive[0]:
        try:
            data = client.recv(4096)
        except OSError:
            break
        if not data:
            break
        ser.write(b"".join(manager.filter(data)))
    alive[0] = False
    for t in threads:
        t.join()


def main():
    # A short time-out, so that the reader sees the end of a connection.
    ser = TolerantSerial(sys.argv[1], timeout=0.2)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[2])))
    listener.listen(1)
    while True:
        client, _ = listener.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            serve(ser, client)
        except OSError:
            pass  # the client went away while we answered it
        finally:
            client.close()


if __name__ == "__main__":
    main()
