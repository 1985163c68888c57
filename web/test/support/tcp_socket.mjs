// A WebSocket look-alike over the host's TCP control port, 'tcp://127.0.0.1:PORT',
// delivering one frame per message as the web listener does.
import net from 'node:net';

export class TcpSocket {
  constructor(url) {
    const { hostname, port } = new URL(url);
    this.binaryType = 'arraybuffer';
    this.readyState = 0;
    this.pending = Buffer.alloc(0);
    this.socket = net.connect({ host: hostname, port: Number(port) }, () => {
      this.readyState = 1;
      this.onopen?.({});
    });
    this.socket.on('data', (chunk) => this.#data(chunk));
    this.socket.on('error', () => this.onerror?.({}));
    this.socket.on('close', () => {
      this.readyState = 3;
      this.onclose?.({});
    });
  }

  #data(chunk) {
    this.pending = Buffer.concat([this.pending, chunk]);
    while (this.pending.length >= 4) {
      const total = this.pending.readUInt32LE(0) + 4;
      if (this.pending.length < total) return;
      const frame = this.pending.subarray(0, total);
      this.pending = this.pending.subarray(total);
      const data = frame.buffer.slice(frame.byteOffset, frame.byteOffset + frame.length);
      this.onmessage?.({ data });
    }
  }

  send(bytes) {
    this.socket.write(bytes);
  }

  close() {
    this.socket.end();
    this.socket.destroy();
  }
}
