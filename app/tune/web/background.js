// Images to lay the result over: the image files of the plate's folder (and
// the --background file), which the server lists and lays under the result.
'use strict';

const backgroundPrefix = 'file:';

function backgroundImage() {
  const value = $('background').value;
  return value.startsWith(backgroundPrefix) ? value.slice(backgroundPrefix.length) : '';
}

page.onStart.push(async () => {
  const select = $('background');
  try {
    const list = await api('GET', '/api/backgrounds');
    if (list.files.length > 0) {
      const group = document.createElement('optgroup');
      group.label = 'images of the plate\'s folder';
      for (const name of list.files) group.append(new Option(name, backgroundPrefix + name));
      select.append(group);
    }
    if (list.chosen) select.value = backgroundPrefix + list.chosen;
    setBackground();
  } catch (error) {
    say(error.message, true);
  }
  let shownImage = backgroundImage();
  select.addEventListener('change', () => {
    const image = backgroundImage();
    if (image !== shownImage && page.view === 'result') renderFull();
    shownImage = image;
  });
});

page.viewQuery.push((view) => {
  const image = backgroundImage();
  return view === 'result' && image ? `&over=${encodeURIComponent(image)}` : '';
});
