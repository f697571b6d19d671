# The acceptance script's comparison and report, on any machine; the Windows
# part runs only on real Windows.
BeforeAll {
    $script = Join-Path $PSScriptRoot 'Invoke-WindowsAcceptance.ps1'
    . $script

    $programFiles = 'O:SYG:SYD:PAI(A;;FA;;;S-1-5-80-1)(A;OICIIO;GA;;;SY)(A;;0x1200a9;;;BU)'
    $downloads = 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads'
    $user = 'S-1-5-21-1-2-3-1001'
    # What a repaired run with one child, a victim, a hard-linked file, the
    # remote run and the signed copies looks like.
    function New-Seen {
        @{
            Status = 0; StdErr = @(); Error = $null; Note = $null; InPlace = $true; Applies = 'True'; ProgramFiles = $programFiles
            Detection = @{ Status = 0; StdErr = @() }; Requirement = @{ Status = 0; StdErr = @() }
            Renames = @('renamed', 'sharing violation', 'sharing violation'); LeftBehind = @()
            DownloadsPath = $downloads; UserSid = $user
            Exposure = @(
                [pscustomobject]@{ Kind = 'Access'; Path = $downloads; Sid = 'S-1-5-32-545'; Allows = 'create files'; Why = 'inherited from a folder above' }
                [pscustomobject]@{ Kind = 'Access'; Path = "$downloads\user-owned"; Sid = $user; Allows = 'change permissions, take ownership'; Why = 'owns this item' }
                [pscustomobject]@{ Kind = 'HardLink'; Path = "$downloads\secret.txt"; Sid = $null; Allows = ''; Why = 'a file with more than one name' }
            )
            Downloads = @{ Before = 'O:BAD:AI(A;OICIID;FA;;;BU)'; After = 'O:BAD:AI(A;;FA;;;S-1-5-80-1)(A;OICIIO;GA;;;SY)(A;;0x1200a9;;;BU)(A;OICIID;0x100116;;;BU)' }
            Children = @{ child = @{ Before = 'O:BAD:AI(A;OICIID;FA;;;BU)'; After = 'O:BAD:AI(A;OICIID;FA;;;SY)' } }
            Untouched = @{ 'C:\Victim' = @{ Before = 'O:BAD:P(A;;FA;;;BA)'; After = 'O:BAD:P(A;;FA;;;BA)' } }
            Linked = @{ 'C:\Victim\secret.txt' = @{ Before = 'O:BAD:AI(A;;FA;;;S-1-5-21-9)(A;ID;FA;;;SY)(A;ID;FA;;;BA)'; After = 'O:BAD:AI(A;;FA;;;S-1-5-21-9)(A;ID;FA;;;SY)(A;ID;FA;;;BA)' } }
            Twins = @{ '.' = @{ Tool = 'O:BAG:SYD:AI(A;;FA;;;SY)'; Windows = 'O:BAG:SYD:AI(A;;FA;;;SY)' }
                'user-owned\file.txt' = @{ Tool = 'O:BAG:SYD:AI(A;ID;FA;;;BA)'; Windows = 'O:BAG:SYD:AI(A;ID;FA;;;BA)' } }
            Remote = [pscustomobject]@{ ComputerName = 'localhost'; ExitStatus = 0; Meaning = 'repaired'; Applies = $true; Repaired = $true; Exposure = '1 finding' }
            Signatures = @([pscustomobject]@{ Path = 'Test-DownloadsPermissions.signed.ps1'; Status = 'Valid'; Message = 'Signature verified.' })
            AllSigned = @{
                detection = [pscustomobject]@{ Status = 0; StdOut = @('Downloads carries the program-files access list'); StdErr = @() }
                audit     = [pscustomobject]@{ Status = 1; StdOut = @('1 exposure finding(s): a file with more than one name'); StdErr = @() }
                unsigned  = [pscustomobject]@{ Status = 1; StdOut = @(); StdErr = @('File C:\Kit\Test-DownloadsPermissions.ps1 cannot be loaded. The file C:\Kit\Test-DownloadsPermissions.ps1 is not digitally signed.') }
            }
        }
    }
    $promise = @{ Status = 0; Repaired = $true; InPlace = $true; Applies = 'True'; ChildrenReached = $true; SameAsWindows = $true; Signed = $true; RenameRefused = $true
        Remote = @{ ExitStatus = 0; Repaired = $true; Applies = $true }
        Exposure = @{ Kind = 'Access'; Path = '.'; Sid = 'S-1-5-32-545' }, @{ Kind = 'Access'; Path = 'user-owned'; Sid = 'user'; Allows = 'change permissions' },
        @{ Kind = 'HardLink'; Path = 'secret.txt' } }
}

Describe 'Test-MayRun' {
    It 'is <Expected> when <Case>' -ForEach @(
        @{ Case = 'not told it may change the machine'; Change = $false; Windows = $true; Elevated = $true; Expected = 'refused: this changes the machine*-ChangeThisMachine*' }
        @{ Case = 'not on Windows'; Change = $true; Windows = $false; Elevated = $false; Expected = 'refused: this is acceptance on real Windows*' }
        @{ Case = 'not elevated'; Change = $true; Windows = $true; Elevated = $false; Expected = 'refused: run it from an elevated*' }
    ) {
        Test-MayRun -ChangeThisMachine $Change -OnWindows $Windows -Elevated $Elevated | Should -BeLike $Expected
    }

    It 'lets a told, elevated Windows run go on' {
        Test-MayRun -ChangeThisMachine $true -OnWindows $true -Elevated $true | Should -BeNullOrEmpty
    }

    It 'finds <Expected> unknown among <Asked>' -ForEach @(
        @{ Asked = @(); Expected = @() }
        @{ Asked = @('children-of-every-kind', 'junction-at-downloads'); Expected = @() }
        @{ Asked = @('children-of-every-kind', 'childern-of-every-kind'); Expected = @('childern-of-every-kind') }
        @{ Asked = @('Junction-At-Downloads-typo', 'nope'); Expected = @('Junction-At-Downloads-typo', 'nope') }
        @{ Asked = @('user-junction-inside-downloads', 'hard-link-inside-user-folder', 'trustedinstaller-folder-behind-a-link'); Expected = @() }
    ) {
        @(Get-UnknownCase -Asked $Asked -Known @($Cases | ForEach-Object { $_.Name })) | Should -Be $Expected
    }
}

Describe 'Holding a file open' {
    It 'counts handle <Handle> as <Expected>' -ForEach @(
        @{ Handle = -1; Expected = 'failed' }
        @{ Handle = 0; Expected = 'failed' }
        @{ Handle = 0x2A4; Expected = 'held' }
    ) {
        (Test-HoldFailed $Handle) | Should -Be ($Expected -eq 'failed')
    }
}

Describe 'Select-AddedListener' {
    It 'removes <Expected> when <Case>' -ForEach @(
        @{ Case = 'the run added the only listener'; Before = @(); Now = @('Listener_1'); Expected = @('Listener_1') }
        @{ Case = 'an HTTPS listener was there before'; Before = @('Address=*;Transport=HTTPS'); Now = @('Listener_1', 'Listener_2'); Expected = @('Listener_1') }
        @{ Case = 'the same listener was there before'; Before = @('Address=*;Transport=HTTP'); Now = @('Listener_1'); Expected = @() }
    ) {
        $listeners = @{
            Listener_1 = [pscustomobject]@{ Name = 'Listener_1'; Keys = @('Transport=HTTP', 'Address=*') }
            Listener_2 = [pscustomobject]@{ Name = 'Listener_2'; Keys = @('Transport=HTTPS', 'Address=*') }
        }
        @(Select-AddedListener -Before $Before -Now @($Now | ForEach-Object { $listeners[$_] })) | Should -Be $Expected
    }
}

Describe 'Compare-Observation' {
    It 'finds nothing wrong with a run as promised' {
        Compare-Observation -Expect $promise -Seen (New-Seen) | Should -BeNullOrEmpty
    }

    It 'reports <Case>' -ForEach @(
        @{ Case = 'another status'; Change = { param($s) $s.Status = 681; $s.StdErr = @('x') }; Failure = 'exit status 681, promised 0' }
        @{ Case = 'a line on standard error with status 0'; Change = { param($s) $s.StdErr = @('a') }; Failure = '1 lines on standard error, promised 0' }
        @{ Case = 'a list that is not the copy'; Change = { param($s) $s.Downloads.After = 'O:BAD:(A;;FA;;;WD)' }; Failure = "Downloads' explicit entries are not the program-files folder's*" }
        @{ Case = 'a child the walk missed'; Change = { param($s) $s.Children.child.After = $s.Children.child.Before }; Failure = 'the walk did not reach child*' }
        @{ Case = 'a victim that changed'; Change = { param($s) $s.Untouched['C:\Victim'].After = 'O:BAD:(A;;FA;;;WD)' }; Failure = 'C:\Victim changed*' }
        @{ Case = 'detection that disagrees'; Change = { param($s) $s.InPlace = $false }; Failure = 'detection says in place: False, promised True' }
        @{ Case = 'an exposure not reported'; Change = { param($s) $s.Exposure = @($s.Exposure | Select-Object -Skip 1) }; Failure = 'the exposure audit did not report an Access finding on Downloads for S-1-5-32-545' }
        @{ Case = 'a finding on a child, not on Downloads'; Change = { param($s) $s.Exposure[0].Path = "$downloads\child" }; Failure = 'the exposure audit did not report an Access finding on Downloads for S-1-5-32-545' }
        @{ Case = 'a finding on a folder whose name starts alike'; Change = { param($s) $s.Exposure[1].Path = "$downloads\user-owned-too" }; Failure = 'the exposure audit did not report an Access finding on user-owned for the standard user*' }
        @{ Case = 'a finding for another account'; Change = { param($s) $s.Exposure[1].Sid = 'S-1-5-32-545' }; Failure = 'the exposure audit did not report an Access finding on user-owned for the standard user that allows change permissions' }
        @{ Case = 'a finding without the promised right'; Change = { param($s) $s.Exposure[1].Allows = 'delete' }; Failure = '*for the standard user that allows change permissions' }
        @{ Case = 'a finding of another kind'; Change = { param($s) $s.Exposure[2].Kind = 'Link' }; Failure = 'the exposure audit did not report a HardLink finding on secret.txt' }
        @{ Case = 'a finding for the user where the run knows no user'; Change = { param($s) $s.UserSid = $null }; Failure = 'the exposure audit did not report an Access finding on user-owned for the standard user*' }
        @{ Case = 'an item the walk left unlike Windows'' own propagation'; Change = { param($s) $s.Twins['user-owned\file.txt'].Tool = 'O:BAG:SYD:(A;ID;FA;;;BA)' }; Failure = "user-owned\file.txt differs from Windows' own propagation: the tool left O:BAG:SYD:(A;ID;FA;;;BA), Windows gave O:BAG:SYD:AI(A;ID;FA;;;BA)" }
        @{ Case = 'a comparison with no twins recorded'; Change = { param($s) $s.Twins = @{} }; Failure = 'no twins were recorded to compare the walk with Windows'' own propagation' }
        @{ Case = 'a remote run that did not repair'; Change = { param($s) $s.Remote.Repaired = $false }; Failure = "the remote run's Repaired is 'False', promised 'True' (repaired)" }
        @{ Case = 'a remote run that returned nothing'; Change = { param($s) $s.Remote = $null }; Failure = 'the remote run returned no result' }
        @{ Case = 'a signature Windows does not trust'; Change = { param($s) $s.Signatures[0].Status = 'UnknownError'; $s.Signatures[0].Message = 'not trusted' }; Failure = 'Get-AuthenticodeSignature says UnknownError for Test-DownloadsPermissions.signed.ps1: not trusted' }
        @{ Case = 'a kit without signed copies'; Change = { param($s) $s.Signatures = @() }; Failure = 'the kit holds no signed copies to check' }
        @{ Case = 'signed detection refused under AllSigned'; Change = { param($s) $s.AllSigned.detection = [pscustomobject]@{ Status = 1; StdOut = @(); StdErr = @('is not digitally signed') } }; Failure = 'the signed detection under AllSigned ended with 1*' }
        @{ Case = 'a signed audit that printed nothing'; Change = { param($s) $s.AllSigned.audit = [pscustomobject]@{ Status = 0; StdOut = @(); StdErr = @() } }; Failure = 'the signed audit under AllSigned ended with 0*' }
        @{ Case = 'an unsigned copy that ran under AllSigned'; Change = { param($s) $s.AllSigned.unsigned = [pscustomobject]@{ Status = 0; StdOut = @('Downloads carries the program-files access list'); StdErr = @() } }; Failure = 'the unsigned detection was not refused under AllSigned*' }
        @{ Case = 'a case that could not run'; Change = { param($s) $s.Error = 'mklink failed' }; Failure = 'the case could not be run: mklink failed' }
        @{ Case = 'a detection that crashed, its empty output read as not in place'; Change = { param($s) $s.Detection = @{ Status = 1; StdErr = @('Get-Acl : denied') } }; Failure = 'the detection script ended with status 1, not 0: Get-Acl : denied' }
        @{ Case = 'a requirement that failed'; Change = { param($s) $s.Requirement = @{ Status = 1; StdErr = @('the key cannot be read') } }; Failure = 'the requirement script ended with status 1, not 0: the key cannot be read' }
        @{ Case = 'a detection that never ran'; Change = { param($s) $s.Detection = $null }; Failure = 'the detection script did not run' }
        @{ Case = 'renames that all went through'; Change = { param($s) $s.Renames = @('renamed', 'renamed', 'failed: gone') }; Failure = 'no rename of Downloads met a sharing violation while the tool ran (3 attempts: 1 x failed: gone, 2 x renamed)' }
        @{ Case = 'no rename tried at all'; Change = { param($s) $s.Renames = @() }; Failure = 'no rename of Downloads met a sharing violation while the tool ran (0 attempts: none)' }
        @{ Case = 'a walk promised with no children recorded'; Change = { param($s) $s.Children = @{} }; Failure = 'no children were recorded to check the walk against' }
        @{ Case = 'a staging folder the remote run left'; Change = { param($s) $s.LeftBehind = @('C:\Program Files\DownloadsPermissions-0a1b') }; Failure = 'the remote run left behind C:\Program Files\DownloadsPermissions-0a1b' }
        @{ Case = 'a task the remote run left'; Change = { param($s) $s.LeftBehind = @('task \DownloadsPermissions-0a1b') }; Failure = 'the remote run left behind task \DownloadsPermissions-0a1b' }
    ) {
        $seen = New-Seen
        & $Change $seen
        @(Compare-Observation -Expect $promise -Seen $seen) | Should -BeLike $Failure
    }

    # The refusals' promises: <D> in a line is the run's Downloads path,
    # taken literally; what is promised on standard output is all there is.
    It 'judges <Case>' -ForEach @(
        @{ Case = 'a line naming the link left inside Downloads'; Expect = @{ Status = 681; Line = '<D> was partly repaired: 1 item inside it was left as it was, <D>\user-junction (a link). Error 681' }
            Downloads = 'C:\PD\Downloads'; Status = 681; Out = @(); Err = 'C:\PD\Downloads was partly repaired: 1 item inside it was left as it was, C:\PD\Downloads\user-junction (a link). Error 681'; Failure = '' }
        @{ Case = 'a line naming another item'; Expect = @{ Status = 681; Line = '<D> was partly repaired: 1 item inside it was left as it was, <D>\user-junction (a link). Error 681' }
            Downloads = 'C:\PD\Downloads'; Status = 681; Out = @(); Err = 'C:\PD\Downloads was partly repaired: 1 item inside it was left as it was, C:\PD\Downloads\plain (a link). Error 681'
            Failure = "standard error 'C:\PD\Downloads was partly repaired: 1 item inside it was left as it was, C:\PD\Downloads\plain (a link). Error 681', promised 'C:\PD\Downloads was partly repaired: 1 item inside it was left as it was, C:\PD\Downloads\user-junction (a link). Error 681'" }
        @{ Case = 'a line naming another Downloads'; Expect = @{ Status = 681; Line = '<D> was partly repaired: 1 item inside it was left as it was, <D>\f (a file with more than one name). Error 681' }
            Downloads = 'C:\PD\Downloads'; Status = 681; Out = @(); Err = 'C:\Other\Downloads was partly repaired: 1 item inside it was left as it was, C:\Other\Downloads\f (a file with more than one name). Error 681'
            Failure = "standard error 'C:\Other\Downloads was partly repaired: 1 item inside it was left as it was, C:\Other\Downloads\f (a file with more than one name). Error 681', promised 'C:\PD\Downloads was partly repaired: 1 item inside it was left as it was, C:\PD\Downloads\f (a file with more than one name). Error 681'" }
        @{ Case = 'a line where the Downloads path holds wildcard characters'; Expect = @{ Status = 681; Line = '<D> was partly repaired: 1 item inside it was left as it was, <D>\f (a file with more than one name). Error 681' }
            Downloads = 'C:\Data [1]\Downloads'; Status = 681; Out = @(); Err = 'C:\Data [1]\Downloads was partly repaired: 1 item inside it was left as it was, C:\Data [1]\Downloads\f (a file with more than one name). Error 681'; Failure = '' }
        @{ Case = 'a key that refuses, as promised'; Expect = @{ Status = 5; Line = 'RegOpenKeyEx() failed. Error 5'; Printed = 'RegOpenKeyEx() failed. Error 5' }
            Downloads = 'C:\PD\Downloads'; Status = 5; Out = @('RegOpenKeyEx() failed. Error 5'); Err = 'RegOpenKeyEx() failed. Error 5'; Failure = '' }
        @{ Case = 'a key that refuses, reported as success'; Expect = @{ Status = 5; Line = 'RegOpenKeyEx() failed. Error 5'; Printed = 'RegOpenKeyEx() failed. Error 5' }
            Downloads = 'C:\PD\Downloads'; Status = 0; Out = @('RegOpenKeyEx() failed. Error 5'); Err = $null; Failure = 'exit status 0, promised 5' }
        @{ Case = 'a key that refuses, its line on standard error only'; Expect = @{ Status = 5; Line = 'RegOpenKeyEx() failed. Error 5'; Printed = 'RegOpenKeyEx() failed. Error 5' }
            Downloads = 'C:\PD\Downloads'; Status = 5; Out = @(); Err = 'RegOpenKeyEx() failed. Error 5'; Failure = "standard output '', promised 'RegOpenKeyEx() failed. Error 5'" }
        @{ Case = 'a key that refuses, with more on standard output'; Expect = @{ Status = 5; Line = 'RegOpenKeyEx() failed. Error 5'; Printed = 'RegOpenKeyEx() failed. Error 5' }
            Downloads = 'C:\PD\Downloads'; Status = 5; Out = @('RegOpenKeyEx() failed. Error 5', 'repaired'); Err = 'RegOpenKeyEx() failed. Error 5'
            Failure = "standard output 'RegOpenKeyEx() failed. Error 5 repaired', promised 'RegOpenKeyEx() failed. Error 5'" }
        @{ Case = 'a rename race the tool met before its hold'; Expect = @{ Status = 0; RenameRefused = $true }
            Downloads = 'C:\PD\Downloads'; Status = 2; Out = @(); Err = 'C:\PD\Downloads was not repaired: it moved during the run. Error 2'
            Failure = "exit status 2, promised 0`na rename fell between the listing that found Downloads and the tool's hold (status 2, it moved during the run), so this run never held Downloads: run the case again" }
    ) {
        $seen = New-Seen
        $seen.DownloadsPath = $Downloads
        $seen.Status = $Status
        $seen.StdOut = $Out
        $seen.StdErr = @($Err | Where-Object { $_ })
        (@(Compare-Observation -Expect $Expect -Seen $seen) -join "`n") | Should -BeExactly $Failure
    }

    It 'reports a list that changed where nothing was to be written' {
        $seen = New-Seen
        @(Compare-Observation -Expect @{ Repaired = $false } -Seen $seen) | Should -BeLike "Downloads' list changed though nothing was to be written*"
    }
}

Describe 'Get-LinkProblem' {
    It 'says <Expected> when <Case>' -ForEach @(
        @{ Case = 'mklink failed (no batch logon right)'; Run = @{ Status = 0x8007052F; StdOut = @(); StdErr = @() }; Item = $null; Expected = 'mklink as the standard user ended with status*log on as a batch job*' }
        @{ Case = 'mklink failed with a line'; Run = @{ Status = 1; StdOut = @(); StdErr = @('Access is denied.') }; Item = $null; Expected = '*status 1 (Access is denied.)*' }
        @{ Case = 'nothing is there'; Run = @{ Status = 0; StdOut = @('Junction created'); StdErr = @() }; Item = $null; Expected = "the standard user's mklink reported success, but nothing is at C:\J" }
        @{ Case = 'a plain folder is there'; Run = @{ Status = 0; StdOut = @(); StdErr = @() }; Item = [pscustomobject]@{ LinkType = $null; Attributes = 'Directory' }; Expected = 'C:\J is not a junction*' }
        @{ Case = 'a symbolic link is there'; Run = @{ Status = 0; StdOut = @(); StdErr = @() }; Item = [pscustomobject]@{ LinkType = 'SymbolicLink'; Attributes = 'Directory, ReparsePoint' }; Expected = "C:\J is not a junction (link type 'SymbolicLink'*" }
    ) {
        Get-LinkProblem -Path 'C:\J' -Run $Run -Item $Item | Should -BeLike $Expected
    }

    It 'judges a hard link that was to be made when <Case>' -ForEach @(
        @{ Case = 'a file with one name is there'; Item = [pscustomobject]@{ LinkType = $null; Attributes = 'Archive' }; Expected = "C:\J is not a hard link (link type '', attributes Archive)" }
        @{ Case = 'a junction is there'; Item = [pscustomobject]@{ LinkType = 'Junction'; Attributes = 'Directory, ReparsePoint' }; Expected = "C:\J is not a hard link (link type 'Junction'*" }
        @{ Case = 'the file has a second name'; Item = [pscustomobject]@{ LinkType = 'HardLink'; Attributes = 'Archive' }; Expected = '' }
    ) {
        "$(Get-LinkProblem -Path 'C:\J' -Run @{ Status = 0 } -Item $Item -Kind HardLink)" | Should -BeLike $Expected
    }

    It 'finds nothing wrong with a junction' {
        Get-LinkProblem -Path 'C:\J' -Run @{ Status = 0 } -Item ([pscustomobject]@{ LinkType = 'Junction'; Attributes = 'Directory, ReparsePoint' }) | Should -BeNullOrEmpty
    }

    It 'makes a case whose <Kind> is missing fail as not run, not pass' -ForEach @(
        @{ Kind = 'Junction' }
        @{ Kind = 'HardLink' }
    ) {
        Mock Invoke-OnceAs { [pscustomobject]@{ Status = 0; StdOut = @(); StdErr = @() } }
        Mock Get-Item { $null }
        { New-UserLink -Kind $Kind -Path 'C:\J' -Target 'C:\V' -Work 'C:\W' -User $null } | Should -Throw "*nothing is at C:\J"
    }
}

Describe 'Format-AcceptanceReport' {
    It 'shows each case, answers each question from the cases that settle it, and says which are not settled' {
        $runs = @(
            [pscustomobject]@{ Name = 'good'; Answers = @('Q1?'); Seen = New-Seen; Failures = @() }
            [pscustomobject]@{ Name = 'bad'; Answers = @('Q1?'); Seen = New-Seen; Failures = @('exit status 681, promised 0') }
        )
        $report = @(Format-AcceptanceReport -Runs $runs -Questions 'Q1?', 'Q2?', 'Q3?' -Machine 'Windows 11' -Unsettled @{ 'Q3?' = 'no case can tell' })
        $report | Should -Contain 'Machine: Windows 11. Cases: 2, failed: 1.'
        $report | Should -Contain '| good | pass | 0 |  |'
        $report | Should -Contain '| bad | FAIL | 0 |  |'
        $report | Should -Contain '- **Q1?** good: as promised; bad: NOT as promised: exit status 681, promised 0'
        $report | Should -Contain '- **Q2?** not settled: no case that answers it was run'
        $report | Should -Contain '- **Q3?** not settled by any case: no case can tell'
        $report | Should -Contain '- detection: True (status 0); requirement: True (status 0)'
        $report | Should -Contain '- rename attempts while the tool ran: 1 x renamed, 2 x sharing violation'
        $report | Should -Contain "- C:\Victim\secret.txt (the hard-linked file's other name) before: ``O:BAD:AI(A;;FA;;;S-1-5-21-9)(A;ID;FA;;;SY)(A;ID;FA;;;BA)``, after: ``O:BAD:AI(A;;FA;;;S-1-5-21-9)(A;ID;FA;;;SY)(A;ID;FA;;;BA)``"
        $report | Should -Contain "- user-owned\file.txt left by the tool: ``O:BAG:SYD:AI(A;ID;FA;;;BA)``, by Windows' propagation: ``O:BAG:SYD:AI(A;ID;FA;;;BA)``"
        $report | Should -Contain '- remote run: ExitStatus 0; Meaning repaired; Applies True; Repaired True; Exposure 1 finding'
        $report | Should -Contain '- signature of Test-DownloadsPermissions.signed.ps1: Valid'
        $report | Should -Contain "- unsigned under AllSigned: status 1, printed '', standard error 'File C:\Kit\Test-DownloadsPermissions.ps1 cannot be loaded. The file C:\Kit\Test-DownloadsPermissions.ps1 is not digitally signed.'"
        $report | Should -Contain "- finding: Access $downloads\user-owned $user (change permissions, take ownership)"
    }
}

Describe 'The script itself' {
    It 'refuses, changing nothing, <Case>' -ForEach @(
        @{ Case = 'unless told it may change the machine'; Arguments = @(); Expected = '*refused: this changes the machine*' }
        @{ Case = 'when asked for a case no one wrote'; Arguments = @('-ChangeThisMachine', '-Case', 'junction-at-downloads,junction-at-download'); Expected = '*refused: no case is named junction-at-download; the cases: *' }
    ) {
        $pwsh = [Environment]::ProcessPath
        $first = @(if ((Split-Path -Leaf $pwsh) -like 'dotnet*') { Join-Path $PSHOME 'pwsh.dll' })
        $out = & $pwsh @first -NoProfile -NonInteractive -File $script @Arguments 2>&1
        $LASTEXITCODE | Should -Be 1
        "$out" | Should -BeLike $Expected
    }

    It 'promises for every case that ends with anything but success its standard error line, and what was not written' {
        foreach ($definition in @($Cases | Where-Object { $_.Expect.ContainsKey('Status') -and $_.Expect.Status -ne 0 })) {
            $definition.Expect.Keys | Should -Contain 'Line' -Because $definition.Name
            ($definition.Expect['Repaired'] -eq $false -or [bool]$definition['Victim'] -or [bool]$definition['Unchanged']) |
                Should -BeTrue -Because "$($definition.Name) must show what was not written"
        }
    }

    It 'answers no question from a case where it says no case can settle it' {
        foreach ($question in $Unsettled.Keys) {
            $Questions | Should -Contain $question
            @($Cases | Where-Object { $_.Answers -contains $question } | ForEach-Object { $_.Name }) | Should -BeNullOrEmpty
        }
    }
}

Describe 'The Windows Sandbox configuration' {
    BeforeAll {
        . (Join-Path $PSScriptRoot 'Start-AcceptanceSandbox.ps1')
    }

    It 'maps the kit and the acceptance kit read-only and the results read-write by the absolute paths given, and runs the acceptance at logon, told it may change the sandbox' -ForEach @(
        @{ Kit = 'D:\a\kit\dist'; Acceptance = 'D:\a\kit\acceptance-kit'; Results = 'D:\a\kit\acceptance-kit\results' }
        @{ Kit = 'C:\Users\Ann & Bo\dist\'; Acceptance = 'C:\Users\Ann & Bo\acceptance-kit\'; Results = 'C:\Users\Ann & Bo\acceptance-kit\results' }
        @{ Kit = '\\server\share\dist'; Acceptance = '\\server\share\acceptance-kit'; Results = '\\server\share\acceptance-kit\results' }
    ) {
        $wsb = [xml](New-SandboxConfiguration -Kit $Kit -Acceptance $Acceptance -Results $Results)
        $folders = @($wsb.Configuration.MappedFolders.MappedFolder)
        $folders.Count | Should -Be 3
        @($folders | ForEach-Object { "$($_.SandboxFolder)=$($_.HostFolder)=$($_.ReadOnly)" }) |
            Should -Be "C:\Kit=$($Kit.TrimEnd('\'))=true", "C:\Acceptance=$($Acceptance.TrimEnd('\'))=true", "C:\Results=$Results=false"
        $wsb.Configuration.LogonCommand.Command | Should -Be ('powershell.exe -NoProfile -ExecutionPolicy Bypass -File ' +
            'C:\Acceptance\Invoke-WindowsAcceptance.ps1 -ChangeThisMachine -Kit C:\Kit -Results C:\Results')
    }

    It 'refuses a relative host folder, which Windows Sandbox does not map: <Kit>' -ForEach @(
        @{ Kit = '..'; Acceptance = 'C:\acceptance-kit'; Results = 'C:\acceptance-kit\results' }
        @{ Kit = 'dist'; Acceptance = 'C:\acceptance-kit'; Results = 'C:\acceptance-kit\results' }
        @{ Kit = 'C:\dist'; Acceptance = 'acceptance-kit'; Results = 'C:\acceptance-kit\results' }
        @{ Kit = 'C:\dist'; Acceptance = 'C:\acceptance-kit'; Results = '..\results' }
        @{ Kit = 'C:dist'; Acceptance = 'C:\acceptance-kit'; Results = 'C:\acceptance-kit\results' }
    ) {
        { New-SandboxConfiguration -Kit $Kit -Acceptance $Acceptance -Results $Results } | Should -Throw '*absolute path*'
    }
}
