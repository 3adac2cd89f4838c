// The messages panel: the tool's words, every one kept for Copy, of which the panel shows at most
// the last kShownLines lines. Text is added in batches, one every kBatchMs at most, as blocks of
// at most kBlockLines lines at the end of the panel: the browser lays out the new blocks alone,
// never the lines already shown, and the oldest blocks are dropped whole, so that a batch costs
// the same however long the update's log grows. The panel's view is kept at its end by its style
// (style.css), not by scrolling it from here, so nothing here reads the page's layout.
'use strict';

const kShownLines = 300;
const kBatchMs = 100;
const kBlockLines = 50;

class MessagesPanel {
  constructor(panel) {
    this.all = [];  // every text added, in order: what Copy copies
    this.pending = '';
    this.timer = null;
    this.lines = 0;  // the lines ended so far
    this.partial = '';  // the line not ended yet
    this.blocks = [];  // the blocks shown: { element, lines: how many }
    this.shown = 0;  // the ended lines the blocks show
    const view = document.createElement('span');
    this.earlier = document.createElement('span');
    this.tail = document.createElement('span');
    view.append(this.earlier, this.tail);
    panel.replaceChildren(view);
    this.view = view;
  }

  add(text) {
    this.all.push(text);
    this.pending += text;
    if (this.timer === null) this.timer = setTimeout(() => this.flush(), kBatchMs);
  }

  // The whole text, up to what was added last.
  text() {
    return this.all.join('');
  }

  // Copies the whole text, more than the panel shows; says how, for the Copy button. Without
  // clipboard access the text is put in `box` and selected, for the browser's own copy or the user's.
  async copy(box) {
    this.flush();
    const text = this.text();
    try {
      await navigator.clipboard.writeText(text);
      return 'Copied';
    } catch (e) {
      box.value = text;
      box.hidden = false;
      box.focus();
      box.select();
      const copied = document.execCommand('copy');
      box.hidden = copied;
      return copied ? 'Copied' : 'Copy the selected messages with Ctrl+C';
    }
  }

  // Shows what was added since the last batch.
  flush() {
    clearTimeout(this.timer);
    this.timer = null;
    if (this.pending === '') return;
    const ended = (this.partial + this.pending).split('\n');
    this.pending = '';
    this.partial = ended.pop();
    this.lines += ended.length;
    if (ended.length > 0) {
      const lines = ended.slice(-kShownLines);
      for (let at = 0; at < lines.length; at += kBlockLines) {
        const block = document.createElement('span');
        const some = lines.slice(at, at + kBlockLines);
        block.textContent = some.join('\n') + '\n';
        this.view.insertBefore(block, this.tail);
        this.blocks.push({ element: block, lines: some.length });
        this.shown += some.length;
      }
      while (this.shown > kShownLines) {
        const oldest = this.blocks.shift();
        oldest.element.remove();
        this.shown -= oldest.lines;
      }
      const hidden = this.lines - this.shown;
      this.earlier.textContent = hidden > 0
        ? `\u2026 ${hidden} earlier line${hidden === 1 ? '' : 's'}: Copy copies them all\n` : '';
    }
    if (this.tail.textContent !== this.partial) this.tail.textContent = this.partial;
  }
}
