// The pairing fragment of the page's address: #pair=CODE&pk=HEX.
export function parsePairingFragment(hash) {
  if (typeof hash !== 'string') return null;
  const params = new URLSearchParams(hash.replace(/^#/, ''));
  const code = params.get('pair');
  const publicKey = params.get('pk');
  if (!code || !/^\d{6}$/.test(code) || !publicKey || !/^[0-9a-fA-F]{64}$/.test(publicKey)) return null;
  return { code, publicKey: publicKey.toLowerCase() };
}
